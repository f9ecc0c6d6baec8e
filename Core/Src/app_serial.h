// The two serial links of the application: console output through a transmit ring that the USART1
// transmit interrupt empties, so that no reply or log line ever holds the main loop, and the
// receive rings of the console and the GNSS receiver, filled by the receive interrupts.
#pragma once

#include <stdint.h>

#include "stm32f4xx_hal.h"

// Console output room kept free for the log lines of the transmitter, the clock and faults: the
// shell takes input and writes replies only beyond it.
constexpr uint16_t SERIAL_LOG_RESERVE = 128U;
// The most a command's reply, its echo and the prompt take, help aside (written part by part).
constexpr uint16_t SERIAL_REPLY_ROOM = 192U;

// Appends the whole text to the console output. When the ring has no room (only a console that
// cannot send gets there) it waits for room up to 100 ms, then drops the text whole: never a part.
void Serial_Write(const char *text);
void Serial_WriteBytes(const uint8_t *bytes, uint16_t n);
// "<prefix><status as a decimal number>\r\n", as the failure lines read.
void Serial_WriteStatus(const char *prefix, HAL_StatusTypeDef status);
// Free bytes in the console output ring.
uint16_t Serial_Room();
// Bytes written to and sent from the console output since start-up; a reply has left when the
// sent count reaches the written count taken after it.
uint32_t Serial_Written();
uint32_t Serial_Sent();
// The prompt, asked for after a completed line or a frame; printed by the main loop at the end of
// a pass outside a frame, once however often it was asked for.
void Serial_RequestPrompt();
bool Serial_TakePrompt();

// With interrupts masked, from the fault path: what waits in the ring is sent by polling.
void Serial_Flush();

enum class Link : uint8_t { CONSOLE, GNSS };
// The oldest received byte; false when there is none. With lost_before: whether input was lost
// just before it (the ring was full, the USART overran, or this byte arrived damaged).
bool Serial_Pop(Link link, uint8_t &byte);
bool Serial_Pop(Link link, uint8_t &byte, bool &lost_before);
// Input was lost after the newest byte and nothing has come since (the ring is empty): true once
// for that loss. While bytes wait, a loss is told with the byte that follows it.
bool Serial_TakeLoss(Link link);
// The next byte is this one, with no loss before it.
bool Serial_NextByteIs(Link link, uint8_t byte);
uint8_t Serial_Pending(Link link);
// For each '$' popped from the GNSS ring, in turn: the tick's millisecond count when it arrived;
// false when its stamp was lost (more sentence starts waited than are kept).
bool Serial_TakeSentenceStart(uint32_t &arrived_ms);

// Each pass: once the start-up text has left, both receptions are armed; a byte that arrived
// before (typed during the banner, noise at power-up) waits in the receiver and is dropped, not
// taken for the first byte of a line.
void Serial_StartReception();

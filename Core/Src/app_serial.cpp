#include "app_serial.h"

#include <stdio.h>
#include <string.h>

#include "app_clock.h"
#include "app_config.h"
#include "masked_section.h"
#include "usart.h"
#include "wspr_app.h"

namespace {

// ---- Receive rings ----

// One serial link: the one-byte reception buffer and the receive ring. Beside each slot of the ring
// a bit says that input was lost just before the byte in it: bytes dropped because the ring was
// full, a byte the USART overran, or a byte that arrived with a framing, noise or parity error. A
// loss after the newest byte waits in `loss_pending` and marks the next byte stored. The interrupt
// writes the head, the bits and `loss_pending`, the main loop the tail; one slot stays free, so a
// ring holds one byte less than its size.
struct Channel {
    volatile uint8_t *const ring;
    volatile uint8_t *const lost_before; // one bit per slot
    const uint16_t mask;
    volatile uint8_t rx_byte;
    volatile uint16_t head;
    volatile uint16_t tail;
    volatile bool loss_pending;
    volatile bool stored; // the last byte the reception delivered went into the ring
};

static_assert((CONSOLE_RX_RING_SIZE & (CONSOLE_RX_RING_SIZE - 1U)) == 0 &&
                  (GNSS_RX_RING_SIZE & (GNSS_RX_RING_SIZE - 1U)) == 0,
              "ring sizes must be powers of two");
static_assert(CONSOLE_RX_RING_SIZE >= 8U && CONSOLE_RX_RING_SIZE <= 256U &&
                  GNSS_RX_RING_SIZE >= 8U && GNSS_RX_RING_SIZE <= 256U,
              "a whole byte of loss bits per eight slots; waiting bytes are counted in 8 bits");
volatile uint8_t g_console_ring[CONSOLE_RX_RING_SIZE];
volatile uint8_t g_console_lost[CONSOLE_RX_RING_SIZE / 8U];
volatile uint8_t g_gnss_ring[GNSS_RX_RING_SIZE];
volatile uint8_t g_gnss_lost[GNSS_RX_RING_SIZE / 8U];

// The links and the UARTs they are on: told apart by the peripheral instance in the handle.
constexpr uint8_t CHANNEL_COUNT = 2;
struct LinkUart {
    UART_HandleTypeDef *uart;
    uintptr_t instance;
};
constexpr LinkUart k_links[CHANNEL_COUNT] = {{&huart1, USART1_BASE}, {&huart2, USART2_BASE}};
Channel g_channels[CHANNEL_COUNT] = {
    {g_console_ring, g_console_lost, CONSOLE_RX_RING_SIZE - 1U, 0, 0, 0, false, false},
    {g_gnss_ring, g_gnss_lost, GNSS_RX_RING_SIZE - 1U, 0, 0, 0, false, false},
};

Channel &ChannelOf(Link link) {
    return g_channels[static_cast<uint8_t>(link)];
}

Channel *ChannelOf(const UART_HandleTypeDef *huart) {
    for (uint8_t c = 0; c < CHANNEL_COUNT; ++c) {
        if (reinterpret_cast<uintptr_t>(huart->Instance) == k_links[c].instance) {
            return &g_channels[c];
        }
    }
    return nullptr;
}

void ArmRx(const Channel &ch) {
    const LinkUart &link = k_links[&ch - g_channels];
    (void)HAL_UART_Receive_IT(link.uart, const_cast<uint8_t *>(&ch.rx_byte), 1);
}

bool LostBefore(const Channel &ch, uint16_t slot) {
    return ((ch.lost_before[slot >> 3U] >> (slot & 7U)) & 1U) != 0U;
}

// From the interrupt only.
void SetLostBefore(Channel &ch, uint16_t slot, bool lost) {
    const auto bit = static_cast<uint8_t>(1U << (slot & 7U));
    volatile uint8_t &bits = ch.lost_before[slot >> 3U];
    bits = static_cast<uint8_t>(lost ? bits | bit : bits & ~bit);
}

void PushByte(Channel &ch) {
    const auto next = static_cast<uint16_t>((ch.head + 1U) & ch.mask);
    if (next == ch.tail) {
        ch.loss_pending = true;
        ch.stored = false;
        return;
    }
    ch.ring[ch.head] = ch.rx_byte; // stored before the head moves past it
    SetLostBefore(ch, ch.head, ch.loss_pending);
    ch.loss_pending = false;
    ch.head = next;
    ch.stored = true;
}

// ---- Sentence starts on the GNSS link ----

// When each '$' stored in the GNSS ring arrived (the tick's millisecond count), in the order they
// were stored: the interrupt stamps a '$' as it stores it, the main loop takes the stamp as it
// pops that '$'. With more starts waiting than stamps kept, the oldest stamps are overwritten and
// their starts have none.
constexpr uint8_t SENTENCE_STAMPS = 4U;
volatile uint32_t g_sentence_ms[SENTENCE_STAMPS];
volatile uint8_t g_sentences_stored = 0;
uint8_t g_sentences_taken = 0;

// From the interrupt, after the byte went into the ring.
void StampSentenceStart(const Channel &ch) {
    if (&ch == &ChannelOf(Link::GNSS) && ch.stored && ch.rx_byte == '$') {
        const uint8_t n = g_sentences_stored;
        g_sentence_ms[n % SENTENCE_STAMPS] = Clock_Ms();
        g_sentences_stored = static_cast<uint8_t>(n + 1U);
    }
}

// ---- Console transmit ring ----

constexpr uint16_t TX_MASK = CONSOLE_TX_RING_SIZE - 1;
static_assert((CONSOLE_TX_RING_SIZE & TX_MASK) == 0, "ring size must be a power of two");
static_assert(CONSOLE_TX_RING_SIZE > SERIAL_LOG_RESERVE + SERIAL_REPLY_ROOM,
              "room for a reply beside the log lines");
constexpr uint32_t WRITE_WAIT_MS = 100;

// The main loop writes at the head; the transmit interrupt sends from the tail, one contiguous
// piece at a time (`g_sending` bytes, in flight while `g_busy`). The counts only grow (and wrap).
uint8_t g_tx_ring[CONSOLE_TX_RING_SIZE];
volatile uint32_t g_written = 0;
volatile uint32_t g_sent = 0;
volatile bool g_busy = false;
volatile uint16_t g_sending = 0;

uint16_t Used() {
    return static_cast<uint16_t>(g_written - g_sent);
}

// Starts sending the next piece when the transmitter is idle; interrupts masked by the caller.
void Kick() {
    if (g_busy || g_written == g_sent) {
        return;
    }
    const uint16_t tail = static_cast<uint16_t>(g_sent & TX_MASK);
    const uint16_t to_end = static_cast<uint16_t>(CONSOLE_TX_RING_SIZE - tail);
    const uint16_t used = Used();
    g_sending = used < to_end ? used : to_end;
    g_busy = true;
    if (HAL_UART_Transmit_IT(&huart1, &g_tx_ring[tail], g_sending) != HAL_OK) {
        g_busy = false;
    }
}

void KickMasked() {
    const MaskedSection masked;
    Kick();
}

// Waits, with the transmitter running, until n bytes fit; false after WRITE_WAIT_MS.
bool WaitForRoom(uint16_t n) {
    const uint32_t start = HAL_GetTick();
    while (Serial_Room() < n) {
        KickMasked();
        if (HAL_GetTick() - start >= WRITE_WAIT_MS) {
            return false;
        }
        __WFI();
    }
    return true;
}

bool g_prompt_pending = false;
bool g_rx_started = false;

void Append(const uint8_t *bytes, uint16_t n) {
    for (uint16_t k = 0; k < n; ++k) {
        g_tx_ring[(g_written + k) & TX_MASK] = bytes[k];
    }
    g_written = g_written + n; // the bytes are in place before the interrupt may send them
}

} // namespace

uint16_t Serial_Room() {
    return static_cast<uint16_t>(CONSOLE_TX_RING_SIZE - 1U - Used());
}

uint32_t Serial_Written() {
    return g_written;
}

uint32_t Serial_Sent() {
    return g_sent;
}

void Serial_WriteBytes(const uint8_t *bytes, uint16_t n) {
    // A text longer than the ring goes in ring-sized parts; each part waits for its room.
    while (n > 0) {
        const uint16_t part = n < CONSOLE_TX_RING_SIZE - 1U ? n : CONSOLE_TX_RING_SIZE - 1U;
        if (!WaitForRoom(part)) {
            return;
        }
        Append(bytes, part);
        bytes += part;
        n = static_cast<uint16_t>(n - part);
        KickMasked();
    }
}

void Serial_Write(const char *text) {
    Serial_WriteBytes(reinterpret_cast<const uint8_t *>(text), static_cast<uint16_t>(strlen(text)));
}

void Serial_RequestPrompt() {
    g_prompt_pending = true;
}

bool Serial_TakePrompt() {
    const bool pending = g_prompt_pending;
    g_prompt_pending = false;
    return pending;
}

void Serial_WriteStatus(const char *prefix, HAL_StatusTypeDef status) {
    char line[80];
    snprintf(line, sizeof line, "%s%d\r\n", prefix, static_cast<int>(status));
    Serial_Write(line);
}

void Serial_Flush() {
    if (huart1.Instance == nullptr) {
        return;
    }
    if (g_busy) {
        // The rest of the piece in flight, then the piece counts as sent.
        if (huart1.TxXferCount > 0U) {
            (void)HAL_UART_Transmit(&huart1, huart1.pTxBuffPtr, huart1.TxXferCount, WRITE_WAIT_MS);
        }
        g_sent = g_sent + g_sending;
        g_busy = false;
    }
    while (g_written != g_sent) {
        const uint16_t tail = static_cast<uint16_t>(g_sent & TX_MASK);
        const uint16_t to_end = static_cast<uint16_t>(CONSOLE_TX_RING_SIZE - tail);
        const uint16_t n = Used() < to_end ? Used() : to_end;
        (void)HAL_UART_Transmit(&huart1, &g_tx_ring[tail], n, WRITE_WAIT_MS);
        g_sent = g_sent + n;
    }
}

bool Serial_Pop(Link link, uint8_t &byte) {
    bool lost = false;
    return Serial_Pop(link, byte, lost);
}

bool Serial_Pop(Link link, uint8_t &byte, bool &lost_before) {
    Channel &ch = ChannelOf(link);
    if (ch.tail == ch.head) {
        return false;
    }
    const MaskedSection masked;
    const uint16_t tail = ch.tail;
    byte = ch.ring[tail];
    lost_before = LostBefore(ch, tail);
    ch.tail = static_cast<uint16_t>((tail + 1U) & ch.mask);
    return true;
}

bool Serial_TakeLoss(Link link) {
    Channel &ch = ChannelOf(link);
    const MaskedSection masked;
    const bool lost = ch.loss_pending && ch.tail == ch.head;
    if (lost) {
        ch.loss_pending = false;
    }
    return lost;
}

bool Serial_NextByteIs(Link link, uint8_t byte) {
    const Channel &ch = ChannelOf(link);
    const uint16_t tail = ch.tail;
    return tail != ch.head && ch.ring[tail] == byte && !LostBefore(ch, tail);
}

bool Serial_TakeSentenceStart(uint32_t &arrived_ms) {
    const MaskedSection masked;
    const uint8_t n = g_sentences_taken;
    g_sentences_taken = static_cast<uint8_t>(n + 1U);
    arrived_ms = g_sentence_ms[n % SENTENCE_STAMPS];
    return static_cast<uint8_t>(g_sentences_stored - n) <= SENTENCE_STAMPS;
}

uint8_t Serial_Pending(Link link) {
    const Channel &ch = ChannelOf(link);
    return static_cast<uint8_t>((ch.head - ch.tail) & ch.mask);
}

void Serial_StartReception() {
    if (g_rx_started || g_written != g_sent) {
        return;
    }
    g_rx_started = true;
    for (Channel &ch : g_channels) {
        __HAL_UART_FLUSH_DRREGISTER(k_links[&ch - g_channels].uart);
        ArmRx(ch);
    }
}

// ---- Interrupt entry points ----

void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart) {
    Channel *ch = ChannelOf(huart);
    if (ch != nullptr) {
        PushByte(*ch);
        StampSentenceStart(*ch);
        ArmRx(*ch);
    }
}

// A receive error ends the reception in progress: it is armed again, once reception has started
// (an overrun seen by the transmit interrupt during the banner must not arm it early). The HAL
// delivers the byte in the data register before it reports the error, in the same interrupt: with
// a framing, noise or parity error that byte is itself damaged, and it is marked as following a
// loss; an overrun lost the byte after it.
void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart) {
    Channel *ch = ChannelOf(huart);
    if (ch == nullptr || !g_rx_started) {
        return;
    }
    constexpr uint32_t DAMAGED = HAL_UART_ERROR_FE | HAL_UART_ERROR_NE | HAL_UART_ERROR_PE;
    if ((huart->ErrorCode & DAMAGED) != 0U && ch->stored) {
        SetLostBefore(*ch, static_cast<uint16_t>((ch->head - 1U) & ch->mask), true);
    } else {
        ch->loss_pending = true;
    }
    if ((huart->ErrorCode & HAL_UART_ERROR_ORE) != 0U) {
        ch->loss_pending = true;
    }
    ch->stored = false;
    ArmRx(*ch);
}

void WSPR_App_UartTxCpltCallback(UART_HandleTypeDef *huart) {
    if (huart->Instance != USART1) {
        return;
    }
    g_sent = g_sent + g_sending;
    g_busy = false;
    Kick();
}

// The transmitter: the beacon's state, the frame on the air (symbols, their boundaries, the tone
// changes), CLK1 switched off and checked after every frame, and the way back from ERROR without
// an operator.
#pragma once

#include <stdint.h>

#include "stm32f4xx_hal.h"
#include "wspr_app.h"

WSPR_State Tx_State();
// The symbol on the air, while transmitting.
uint16_t Tx_SymbolIndex();

// Start-up: the Si5351 brought up, IDLE with CLK1 off, or ERROR. The start-up's status.
HAL_StatusTypeDef Tx_StartUp();
// A frame asked for, once its lines have led it (app_lines); started by Tx_ServeRequest.
void Tx_Request();
void Tx_ServeRequest();
// Between frames: the tones planned ahead of the next frame, for the tone 0 its lead has chosen, or
// else for the band list's first entry (only when they changed: planning takes milliseconds).
void Tx_PlanAhead();
// The end of a frame, and "stop": IDLE once CLK1 is off; a failed off leaves ERROR until a retry
// gets it off. From ERROR, "stop" starts the Si5351 again first: IDLE only when it answers.
void Tx_Stop();
// Each tick: symbol boundaries passed since the last look.
void Tx_ProcessSymbolDue();
// A tone change due: written to the Si5351.
void Tx_ProcessToneChange();
// Each tick: CLK1 off retried while it failed (IDLE again once it is off, when nothing else
// failed); from ERROR the Si5351 started again every 30 s.
void Tx_ProcessRecovery();

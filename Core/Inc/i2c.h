#ifndef I2C_H
#define I2C_H

#include "main.h"

extern I2C_HandleTypeDef hi2c1;

/* Frees the bus from a slave that holds SDA (see i2c.cpp), then sets up I2C1. */
void MX_I2C1_Init(void);
/* After a transfer that ended BUSY or timed out: I2C1 off and reset, the bus freed, I2C1 set up
 * again (also after MX_I2C1_Hold). Main loop only; returns the status of the new set-up. */
HAL_StatusTypeDef MX_I2C1_Recover(void);
/* Any context (a fault handler, an interrupt), after MX_I2C1_Init, whatever I2C1 was doing: the
 * peripheral reset, the bus clocked free and ended with a STOP, I2C1 set up again, so that one
 * transfer can go out at once. Nothing in it waits on the tick. */
void MX_I2C1_Seize(void);
/* I2C1 held in reset: a transfer of the code that was interrupted cannot go on, and every one
 * after it fails, until the main loop's MX_I2C1_Recover. */
void MX_I2C1_Hold(void);

#endif

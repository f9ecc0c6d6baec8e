#ifndef I2C_H
#define I2C_H

#include "main.h"

extern I2C_HandleTypeDef hi2c1;

/* Frees the bus from a slave that holds SDA (see i2c.cpp), then sets up I2C1. */
void MX_I2C1_Init(void);
/* After a transfer that ended BUSY or timed out: I2C1 off, the bus freed, I2C1 set up again.
 * Main loop only; returns the status of the new set-up. */
HAL_StatusTypeDef MX_I2C1_Recover(void);

#endif

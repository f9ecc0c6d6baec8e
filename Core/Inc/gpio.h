#ifndef GPIO_H
#define GPIO_H

#include "main.h"

/* First thing after any reset: the amplifier line driven low (off). */
void MX_GPIO_AmplifierOff(void);
void MX_GPIO_Init(void);

#endif

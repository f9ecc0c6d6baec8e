#ifndef GPIO_H
#define GPIO_H

#include "main.h"

void MX_GPIO_Init(void);

#endif

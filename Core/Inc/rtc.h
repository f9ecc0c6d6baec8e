#ifndef RTC_H
#define RTC_H

#include "main.h"

extern RTC_HandleTypeDef hrtc;

void MX_RTC_Init(void);

#endif

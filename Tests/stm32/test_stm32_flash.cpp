// The flash programming of the register layer against the fake chip: the key sequence, word
// programming at 32-bit parallelism, sector erase, the error flags, the lock, refusals outside the
// settings sectors, and the cycle counter HAL_Init starts.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_chip.h"
#include "stm32f4xx_hal.h"

namespace {

uint32_t WordAt(uint32_t address) {
    uint32_t w;
    std::memcpy(&w, HAL_FLASH_Address(address), sizeof w);
    return w;
}

FLASH_EraseInitTypeDef Sector(uint32_t sector) {
    FLASH_EraseInitTypeDef e = {};
    e.TypeErase = FLASH_TYPEERASE_SECTORS;
    e.Sector = sector;
    e.NbSectors = 1;
    e.VoltageRange = FLASH_VOLTAGE_RANGE_3;
    return e;
}

TEST(Flash, UnlockProgramEraseLock) {
    fake::Reset();
    FLASH_Regs &flash = fake::Flash();
    // Locked, the controller refuses; unlocking writes the two keys in order (the last one stays
    // in the fake register).
    flash.CR = FLASH_CR_LOCK;
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_2_ADDR, 0), HAL_ERROR);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_WRP);
    EXPECT_EQ(WordAt(FLASH_SECTOR_2_ADDR), 0xFFFFFFFFU);
    (void)HAL_FLASH_Unlock();
    EXPECT_EQ(flash.KEYR, FLASH_KEY2);
    flash.CR = 0; // what the chip does after the second key

    ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_3_ADDR + 8, 0x12345678U),
              HAL_OK);
    EXPECT_EQ(WordAt(FLASH_SECTOR_3_ADDR + 8), 0x12345678U);
    EXPECT_EQ(flash.CR & FLASH_CR_PSIZE_Msk, FLASH_CR_PSIZE_X32);
    EXPECT_EQ(flash.CR & FLASH_CR_PG, 0U); // PG off again after the word

    FLASH_EraseInitTypeDef e = Sector(FLASH_SECTOR_3);
    uint32_t failed = 0;
    flash.ACR = FLASH_ACR_ICEN | FLASH_ACR_DCEN;
    ASSERT_EQ(HAL_FLASHEx_Erase(&e, &failed), HAL_OK);
    EXPECT_EQ(failed, 0xFFFFFFFFU);
    EXPECT_EQ(fake::flash_erases(FLASH_SECTOR_3), 1);
    EXPECT_EQ(fake::flash_erases(FLASH_SECTOR_2), 0);
    EXPECT_EQ(WordAt(FLASH_SECTOR_3_ADDR + 8), 0xFFFFFFFFU);
    EXPECT_EQ(flash.CR & (FLASH_CR_SER | FLASH_CR_SNB_Msk), 0U);
    EXPECT_EQ(flash.ACR & (FLASH_ACR_ICEN | FLASH_ACR_DCEN), FLASH_ACR_ICEN | FLASH_ACR_DCEN);
    EXPECT_EQ(flash.ACR & (FLASH_ACR_ICRST | FLASH_ACR_DCRST), 0U);

    EXPECT_EQ(HAL_FLASH_Lock(), HAL_OK);
    EXPECT_EQ(flash.CR & FLASH_CR_LOCK, FLASH_CR_LOCK);
}

// An error flag the controller raises is reported in the interface's form; code, vectors and any
// sector but the settings' two are refused before a register is touched; a controller that stays
// busy ends in a time-out.
TEST(Flash, ErrorsRefusalsAndTimeOut) {
    fake::Reset();
    FLASH_Regs &flash = fake::Flash();
    flash.SR = FLASH_SR_PGSERR; // the fake's flags stay (no write-1-to-clear in plain memory)
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_2_ADDR, 1), HAL_ERROR);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_PGS);
    flash.SR = FLASH_SR_WRPERR | FLASH_SR_OPERR;
    FLASH_EraseInitTypeDef e = Sector(FLASH_SECTOR_2);
    uint32_t failed = 0;
    EXPECT_EQ(HAL_FLASHEx_Erase(&e, &failed), HAL_ERROR);
    EXPECT_EQ(failed, FLASH_SECTOR_2);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_WRP | HAL_FLASH_ERROR_OPERATION);
    flash.SR = FLASH_SR_RDERR; // a read of a protected sector during the operation
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_2_ADDR, 1), HAL_ERROR);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_RD);
    flash.SR = 0;

    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_2_ADDR + 2, 1), HAL_ERROR);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_PGA);
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, 0x08000000U, 1), HAL_ERROR);
    FLASH_EraseInitTypeDef code = Sector(0);
    EXPECT_EQ(HAL_FLASHEx_Erase(&code, nullptr), HAL_ERROR);
    FLASH_EraseInitTypeDef too_many = Sector(FLASH_SECTOR_3);
    too_many.NbSectors = 2;
    EXPECT_EQ(HAL_FLASHEx_Erase(&too_many, nullptr), HAL_ERROR);
    EXPECT_EQ(fake::flash_erases(FLASH_SECTOR_3), 0);

    flash.SR = FLASH_SR_BSY;
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, FLASH_SECTOR_2_ADDR + 4, 1), HAL_TIMEOUT);
}

TEST(Flash, CycleCounterStartedByHalInit) {
    fake::Reset();
    ASSERT_EQ(HAL_Init(), HAL_OK);
    EXPECT_EQ(fake::At<uint32_t>(DEMCR_ADDR) & DEMCR_TRCENA, DEMCR_TRCENA);
    EXPECT_EQ(fake::At<DWT_Regs>(DWT_BASE).CTRL & DWT_CTRL_CYCCNTENA, DWT_CTRL_CYCCNTENA);
    fake::At<DWT_Regs>(DWT_BASE).CYCCNT = 1234;
    EXPECT_EQ(HAL_GetCycleCount(), 1234U);
}

} // namespace

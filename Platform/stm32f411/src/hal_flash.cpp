/* Flash programming on the STM32F411: the controller is opened by its two-key sequence and locked
 * again after; a word is programmed with PG and 32-bit parallelism, a sector erased with SER, its
 * number and STRT. Each waits for BSY to clear (the CPU stalls on any flash fetch meanwhile, so
 * the wait mostly finds it clear at once) and reports the error flags, which are then cleared. An
 * erase or a program leaves stale lines in the flash caches (a line read before, blank, stays so
 * in the data cache): they are reset after each, so that what is read next is what the flash
 * holds. Only the settings sectors are accepted. */
#include "platform_internal.h"

using namespace platform;

namespace {

/* The chip's worst cases at 32-bit parallelism: 100 us a word, 500 ms a 16 KiB sector. */
constexpr uint32_t PROGRAM_TIMEOUT_MS = 2U;
constexpr uint32_t ERASE_TIMEOUT_MS = 1000U;

uint32_t g_error = HAL_FLASH_ERROR_NONE;

bool InSettings(uint32_t address) {
    return address >= FLASH_SECTOR_2_ADDR &&
           address < FLASH_SECTOR_2_ADDR + 2U * FLASH_SECTOR_16K_SIZE;
}

/* The error flags of the last operation, in the interface's form, cleared on the chip. */
HAL_StatusTypeDef Finish(uint32_t start, uint32_t timeout) {
    FLASH_Regs *flash = Flash();
    if (!WaitBits(flash->SR, FLASH_SR_BSY, 0U, start, timeout)) {
        return HAL_TIMEOUT;
    }
    const uint32_t sr = flash->SR & (FLASH_SR_ERRORS | FLASH_SR_EOP);
    flash->SR = sr; /* write 1 to clear */
    g_error = ((sr & FLASH_SR_OPERR) != 0U ? HAL_FLASH_ERROR_OPERATION : 0U) |
              ((sr & FLASH_SR_WRPERR) != 0U ? HAL_FLASH_ERROR_WRP : 0U) |
              ((sr & FLASH_SR_PGAERR) != 0U ? HAL_FLASH_ERROR_PGA : 0U) |
              ((sr & FLASH_SR_PGPERR) != 0U ? HAL_FLASH_ERROR_PGP : 0U) |
              ((sr & FLASH_SR_PGSERR) != 0U ? HAL_FLASH_ERROR_PGS : 0U) |
              ((sr & FLASH_SR_RDERR) != 0U ? HAL_FLASH_ERROR_RD : 0U);
    return g_error == HAL_FLASH_ERROR_NONE ? HAL_OK : HAL_ERROR;
}

/* Ready for a new operation: the controller open, not busy, no error left from before. */
HAL_StatusTypeDef Begin() {
    FLASH_Regs *flash = Flash();
    g_error = HAL_FLASH_ERROR_NONE;
    if ((flash->CR & FLASH_CR_LOCK) != 0U) {
        g_error = HAL_FLASH_ERROR_WRP;
        return HAL_ERROR;
    }
    if (!WaitBits(flash->SR, FLASH_SR_BSY, 0U, HAL_GetTick(), PROGRAM_TIMEOUT_MS)) {
        return HAL_TIMEOUT;
    }
    flash->SR = flash->SR & (FLASH_SR_ERRORS | FLASH_SR_EOP); /* write 1 to clear */
    return HAL_OK;
}

void ResetCaches() {
    FLASH_Regs *flash = Flash();
    const uint32_t on = flash->ACR & (FLASH_ACR_ICEN | FLASH_ACR_DCEN);
    ClearBits(flash->ACR, FLASH_ACR_ICEN | FLASH_ACR_DCEN);
    SetBits(flash->ACR, FLASH_ACR_ICRST | FLASH_ACR_DCRST);
    ClearBits(flash->ACR, FLASH_ACR_ICRST | FLASH_ACR_DCRST);
    SetBits(flash->ACR, on);
}

} // namespace

HAL_StatusTypeDef HAL_FLASH_Unlock(void) {
    FLASH_Regs *flash = Flash();
    if ((flash->CR & FLASH_CR_LOCK) != 0U) {
        flash->KEYR = FLASH_KEY1;
        flash->KEYR = FLASH_KEY2;
    }
    return (flash->CR & FLASH_CR_LOCK) == 0U ? HAL_OK : HAL_ERROR;
}

HAL_StatusTypeDef HAL_FLASH_Lock(void) {
    SetBits(Flash()->CR, FLASH_CR_LOCK);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Program(uint32_t TypeProgram, uint32_t Address, uint64_t Data) {
    if (TypeProgram != FLASH_TYPEPROGRAM_WORD || !InSettings(Address) || (Address & 3U) != 0U) {
        g_error = HAL_FLASH_ERROR_PGA;
        return HAL_ERROR;
    }
    const HAL_StatusTypeDef ready = Begin();
    if (ready != HAL_OK) {
        return ready;
    }
    FLASH_Regs *flash = Flash();
    flash->CR = (flash->CR & ~(FLASH_CR_PSIZE_Msk | FLASH_CR_SER | FLASH_CR_SNB_Msk)) |
                FLASH_CR_PSIZE_X32 | FLASH_CR_PG;
    *RegsAt<volatile uint32_t>(Address) = static_cast<uint32_t>(Data);
    const HAL_StatusTypeDef st = Finish(HAL_GetTick(), PROGRAM_TIMEOUT_MS);
    ClearBits(flash->CR, FLASH_CR_PG);
    ResetCaches();
    return st;
}

HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef *pEraseInit, uint32_t *SectorError) {
    if (SectorError != nullptr) {
        *SectorError = 0xFFFFFFFFU;
    }
    if (pEraseInit == nullptr || pEraseInit->TypeErase != FLASH_TYPEERASE_SECTORS ||
        pEraseInit->VoltageRange != FLASH_VOLTAGE_RANGE_3 || pEraseInit->NbSectors == 0U ||
        pEraseInit->Sector < FLASH_SECTOR_2 ||
        pEraseInit->Sector + pEraseInit->NbSectors > FLASH_SECTOR_3 + 1U) {
        g_error = HAL_FLASH_ERROR_PGS;
        return HAL_ERROR;
    }
    FLASH_Regs *flash = Flash();
    HAL_StatusTypeDef st = HAL_OK;
    for (uint32_t n = 0; n < pEraseInit->NbSectors && st == HAL_OK; ++n) {
        const uint32_t sector = pEraseInit->Sector + n;
        st = Begin();
        if (st != HAL_OK) {
            break;
        }
        flash->CR = (flash->CR & ~(FLASH_CR_PSIZE_Msk | FLASH_CR_SNB_Msk | FLASH_CR_PG)) |
                    FLASH_CR_PSIZE_X32 | FLASH_CR_SER | (sector << FLASH_CR_SNB_Pos);
        SetBits(flash->CR, FLASH_CR_STRT);
        st = Finish(HAL_GetTick(), ERASE_TIMEOUT_MS);
        ClearBits(flash->CR, FLASH_CR_SER | FLASH_CR_SNB_Msk);
        if (st != HAL_OK && SectorError != nullptr) {
            *SectorError = sector;
        }
    }
    ResetCaches();
    return st;
}

uint32_t HAL_FLASH_GetError(void) {
    return g_error;
}

const void *HAL_FLASH_Address(uint32_t address) {
    return RegsAt<const uint8_t>(address);
}

uint32_t HAL_GetCycleCount(void) {
    return RegsAt<DWT_Regs>(DWT_BASE)->CYCCNT;
}

// The I2C masters of the virtual MCU (the board's counterpart is hal_i2c.cpp): I2C1..I2C3 by
// instance, each a bus with devices on it. A transfer takes its bus time at 400 kHz, every byte
// nine clocks; faults can be injected into any operation. The bus lines are wired to their pins
// (I2C1: SCL PB6, SDA PB7), so firmware that takes the pins as GPIOs clocks the devices by hand
// and reads SDA as they leave it; a device that holds SDA low makes every transfer end BUSY.
#include <map>

#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

constexpr uint64_t I2C_BIT_NS = 2500; // 400 kHz
constexpr uintptr_t k_buses[] = {APB1PERIPH_BASE + 0x5400, APB1PERIPH_BASE + 0x5800,
                                 APB1PERIPH_BASE + 0x5C00};
constexpr int BUSES = sizeof k_buses / sizeof k_buses[0];
// How long the board's I2C layer waits for a bus still busy from before.
constexpr uint64_t BUSY_WAIT_NS = 25 * NS_PER_MS;

struct Fault {
    uint64_t op_index;
    HAL_StatusTypeDef status;
    bool from_then_on;
};

struct Bus {
    bool configured = false;
    I2C_InitTypeDef init{};
    std::map<uint8_t, dev::I2cDevice *> devices;
};

class I2c : public Peripheral {
  public:
    I2c() : Peripheral("i2c") {}
    void mcu_reset() override {
        for (Bus &b : buses) {
            b.configured = false;
            b.init = {};
        }
    }
    // The bus analyser (log, listener) and the faults belong to the test bench, like the
    // devices: they outlive a reset of the MCU.
    void world_reset() override {
        for (Bus &b : buses) {
            b = Bus{};
        }
        log.clear();
        keep_log = true;
        ops = 0;
        faults.clear();
        on_transfer = nullptr;
    }

    Bus buses[BUSES];
    std::vector<I2cTransfer> log;
    bool keep_log = true;
    uint64_t ops = 0;
    std::vector<Fault> faults;
    std::function<void(const I2cTransfer &)> on_transfer;
};

I2c g_i2c;

bool SdaHeld(const Bus &bus) {
    for (const auto &[addr, device] : bus.devices) {
        if (device->holds_sda()) {
            return true;
        }
    }
    return false;
}

// A rising edge on SCL clocks every device on the bus.
template <int N> void OnScl(int level) {
    if (level == 1) {
        for (const auto &[addr, device] : g_i2c.buses[N].devices) {
            device->scl_pulse(now());
        }
    }
}
// The lines are pulled up on the board: released, they read high.
template <int N> int SdaLevel() {
    return SdaHeld(g_i2c.buses[N]) ? 0 : 1;
}
int Released() {
    return 1;
}

// The chip's pins of each bus, as this board (and the usual STM32F411 boards) wires them.
struct Wiring {
    Wiring() {
        const uintptr_t a = GPIOA_BASE, b = GPIOB_BASE;
        const auto *pa = reinterpret_cast<const GPIO_TypeDef *>(a);
        const auto *pb = reinterpret_cast<const GPIO_TypeDef *>(b);
        gpio_wire(pb, 6, OnScl<0>, Released); // I2C1
        gpio_wire(pb, 7, nullptr, SdaLevel<0>);
        gpio_wire(pb, 10, OnScl<1>, Released); // I2C2
        gpio_wire(pb, 3, nullptr, SdaLevel<1>);
        gpio_wire(pa, 8, OnScl<2>, Released); // I2C3
        gpio_wire(pb, 4, nullptr, SdaLevel<2>);
    }
} g_wiring;

Bus &BusOf(const I2C_TypeDef *instance) {
    for (int i = 0; i < BUSES; ++i) {
        if (reinterpret_cast<uintptr_t>(instance) == k_buses[i]) {
            return g_i2c.buses[i];
        }
    }
    fail_instance("I2C bus", instance);
}

// A time-out lasts as on the board: the caller's time-out, at most the 25 ms after which the
// board's I2C layer gives up on a bus that does not move. The other failures come at once.
HAL_StatusTypeDef InjectedFault(uint64_t op, uint32_t timeout_ms) {
    for (const Fault &f : g_i2c.faults) {
        if (op == f.op_index || (f.from_then_on && op > f.op_index)) {
            if (f.status == HAL_TIMEOUT) {
                const uint64_t ms = timeout_ms < 25 ? timeout_ms : 25;
                advance_to(now() + (ms + 1) * NS_PER_MS);
            }
            return f.status;
        }
    }
    return HAL_OK;
}

dev::I2cDevice *DeviceAt(const Bus &bus, uint16_t dev_address) {
    auto it = bus.devices.find(static_cast<uint8_t>(dev_address >> 1));
    return it == bus.devices.end() ? nullptr : it->second;
}

// The record of an operation as it begins (its bus time starts now), and the fault injected into
// it (HAL_OK: none), which may already take its time-out.
I2cTransfer Begin(I2cTransfer::Kind kind, const I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                  uint32_t timeout, HAL_StatusTypeDef &fault) {
    I2cTransfer t{};
    t.kind = kind;
    t.bus = hi2c == nullptr ? nullptr : hi2c->Instance;
    t.addr7 = static_cast<uint8_t>(dev_address >> 1);
    t.timeout_ms = timeout;
    t.status = HAL_OK;
    t.start_ns = t.end_ns = now();
    fault = InjectedFault(g_i2c.ops++, timeout);
    return t;
}

// The operation ended with status st: the record goes to the listener and the log.
HAL_StatusTypeDef Finish(I2cTransfer &&t, HAL_StatusTypeDef st) {
    t.status = st;
    t.end_ns = now();
    if (g_i2c.on_transfer) {
        g_i2c.on_transfer(t);
    }
    if (g_i2c.keep_log) {
        g_i2c.log.push_back(std::move(t));
    }
    return st;
}

Hook<void (*)(I2C_HandleTypeDef *)> g_msp_init("HAL_I2C_MspInit");
Hook<void (*)(I2C_HandleTypeDef *)> g_msp_deinit("HAL_I2C_MspDeInit");

// A device holding SDA keeps the bus busy: the transfer waits as the board's does, then gives up.
bool BusyBus(const Bus &bus, HAL_StatusTypeDef &st) {
    if (st != HAL_OK || !SdaHeld(bus)) {
        return false;
    }
    advance_to(now() + BUSY_WAIT_NS);
    st = HAL_BUSY;
    return true;
}

} // namespace
} // namespace vmcu::detail

namespace vmcu {

void i2c_attach(const I2C_TypeDef *bus, uint8_t addr7, dev::I2cDevice *device) {
    detail::BusOf(bus).devices[addr7] = device;
}
void i2c_detach(const I2C_TypeDef *bus, uint8_t addr7) {
    detail::BusOf(bus).devices.erase(addr7);
}
const std::vector<I2cTransfer> &i2c_log() {
    return detail::g_i2c.log;
}
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn) {
    detail::g_i2c.on_transfer = std::move(fn);
}
void i2c_clear_log() {
    detail::g_i2c.log.clear();
}
void i2c_keep_log(bool keep) {
    detail::g_i2c.log.clear();
    detail::g_i2c.keep_log = keep;
}
uint64_t i2c_operations() {
    return detail::g_i2c.ops;
}
void i2c_fail(uint64_t op_index, HAL_StatusTypeDef status, bool from_then_on) {
    detail::g_i2c.faults.push_back({op_index, status, from_then_on});
}
void i2c_clear_faults() {
    detail::g_i2c.faults.clear();
}
const I2C_InitTypeDef *i2c_init_record(const I2C_TypeDef *bus) {
    const detail::Bus &b = detail::BusOf(bus);
    return b.configured ? &b.init : nullptr;
}

} // namespace vmcu

using vmcu::detail::I2C_BIT_NS;
using vmcu::detail::init_call;
using vmcu::detail::now;

extern "C" {

HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef *hi2c) {
    HAL_StatusTypeDef st = init_call("HAL_I2C_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Bus &bus = vmcu::detail::BusOf(hi2c->Instance);
    if (auto msp = vmcu::detail::g_msp_init.get()) {
        msp(hi2c);
    }
    bus.configured = true;
    bus.init = hi2c->Init;
    hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
    return HAL_OK;
}

HAL_StatusTypeDef HAL_I2C_DeInit(I2C_HandleTypeDef *hi2c) {
    if (hi2c == nullptr) {
        return HAL_ERROR;
    }
    vmcu::detail::BusOf(hi2c->Instance).configured = false;
    if (auto msp = vmcu::detail::g_msp_deinit.get()) {
        msp(hi2c);
    }
    return HAL_OK;
}

// Each trial: START, the address byte, STOP. The device answers when it acknowledges.
HAL_StatusTypeDef HAL_I2C_IsDeviceReady(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                        uint32_t trials, uint32_t timeout) {
    vmcu::detail::Bus *bus = hi2c == nullptr ? nullptr : &vmcu::detail::BusOf(hi2c->Instance);
    HAL_StatusTypeDef st = HAL_OK;
    vmcu::I2cTransfer log =
        vmcu::detail::Begin(vmcu::I2cTransfer::PROBE, hi2c, dev_address, timeout, st);
    log.trials = trials;
    if (st == HAL_OK && (bus == nullptr || !bus->configured)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK && !vmcu::detail::BusyBus(*bus, st)) {
        st = HAL_ERROR;
        dev::I2cDevice *dev = vmcu::detail::DeviceAt(*bus, dev_address);
        for (uint32_t trial = 0; trial < trials; ++trial) {
            vmcu::advance_to(now() + 10 * I2C_BIT_NS);
            const bool ack = dev != nullptr && dev->i2c_start(now());
            vmcu::advance_to(now() + I2C_BIT_NS);
            if (dev != nullptr) {
                dev->i2c_stop(now()); // the master ends every trial with a STOP
            }
            if (ack) {
                st = HAL_OK;
                break;
            }
        }
        hi2c->ErrorCode = st == HAL_OK ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    return vmcu::detail::Finish(std::move(log), st);
}

// START, address, register, data bytes, STOP, each byte 9 clocks; a byte not acknowledged ends the
// transfer with a STOP and HAL_ERROR.
HAL_StatusTypeDef HAL_I2C_Mem_Write(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                    uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                    uint16_t size, uint32_t timeout) {
    vmcu::detail::Bus *bus = hi2c == nullptr ? nullptr : &vmcu::detail::BusOf(hi2c->Instance);
    HAL_StatusTypeDef st = HAL_OK;
    vmcu::I2cTransfer log =
        vmcu::detail::Begin(vmcu::I2cTransfer::MEM_WRITE, hi2c, dev_address, timeout, st);
    log.mem_add_size = mem_add_size;
    if (mem_add_size == I2C_MEMADD_SIZE_8BIT) {
        log.bytes.push_back(static_cast<uint8_t>(mem_address));
    } else {
        log.bytes.push_back(static_cast<uint8_t>(mem_address >> 8));
        log.bytes.push_back(static_cast<uint8_t>(mem_address));
    }
    for (uint16_t k = 0; data != nullptr && k < size; ++k) {
        log.bytes.push_back(data[k]);
    }
    if (st == HAL_OK && (bus == nullptr || !bus->configured || data == nullptr || size == 0)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK && !vmcu::detail::BusyBus(*bus, st)) {
        dev::I2cDevice *dev = vmcu::detail::DeviceAt(*bus, dev_address);
        vmcu::advance_to(now() + 10 * I2C_BIT_NS);
        bool ack = dev != nullptr && dev->i2c_start(now());
        for (size_t k = 0; ack && k < log.bytes.size(); ++k) {
            vmcu::advance_to(now() + 9 * I2C_BIT_NS);
            ack = dev->i2c_write(log.bytes[k], now());
        }
        vmcu::advance_to(now() + I2C_BIT_NS);
        if (dev != nullptr) {
            dev->i2c_stop(now());
        }
        st = ack ? HAL_OK : HAL_ERROR;
        hi2c->ErrorCode = ack ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    return vmcu::detail::Finish(std::move(log), st);
}

} // extern "C"

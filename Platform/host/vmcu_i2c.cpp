// The I2C masters of the virtual MCU (the board's counterpart is hal_i2c.cpp): I2C1..I2C3 by
// instance, each a bus with devices on it. A transfer takes its bus time at 400 kHz, every byte
// nine clocks; faults can be injected into any operation. The bus lines are wired to their pins
// (I2C1: SCL PB6, SDA PB7), so firmware that takes the pins as GPIOs clocks the devices by hand,
// reads SDA as they leave it and ends their transfer with a STOP (SDA rising while SCL is high);
// a device that holds SDA low makes every transfer end BUSY.
//
// A transfer is on the wire for its bus time, and whatever runs meanwhile (an interrupt, a fault
// handler) finds the bus busy. A reset of the peripheral (the RCC's reset line, or the MCU's)
// cuts the transfer on the wire: the bytes that went out are what the bus carried, the device is
// left in the middle of it until a STOP or a START, and the interrupted HAL call, if it goes on,
// waits for an event that never comes. While the RCC holds the peripheral in reset, a transfer
// is not answered at all.
#include <map>

#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

constexpr uint64_t I2C_BIT_NS = 2500; // 400 kHz
constexpr uintptr_t k_buses[] = {APB1PERIPH_BASE + 0x5400, APB1PERIPH_BASE + 0x5800,
                                 APB1PERIPH_BASE + 0x5C00};
constexpr RCC_GateTypeDef k_reset_lines[] = {RCC_GATE_I2C1}; // the buses the RCC can reset
constexpr int BUSES = sizeof k_buses / sizeof k_buses[0];
// How long the board's I2C layer waits for a bus still busy from before, and for any one event.
constexpr uint64_t BUSY_WAIT_NS = 25 * NS_PER_MS;
constexpr uint32_t EVENT_WAIT_MS = 25;

struct Fault {
    uint64_t op_index;
    HAL_StatusTypeDef status;
    bool from_then_on;
};

struct Bus {
    bool configured = false;
    I2C_InitTypeDef init{};
    std::map<uint8_t, dev::I2cDevice *> devices;
    bool held = false;   // the RCC holds the peripheral in reset
    uint64_t resets = 0; // resets of the peripheral: a transfer begun before one was cut by it
    // The transfer on the wire (its record, to the bytes that went out), and the device the last
    // START addressed, until a STOP ends its transfer.
    bool active = false;
    I2cTransfer on_wire{};
    dev::I2cDevice *selected = nullptr;
    int scl = 1; // the clock line as the pins leave it
};

class I2c : public Peripheral {
  public:
    I2c() : Peripheral("i2c") {}
    void mcu_reset() override {
        for (Bus &b : buses) {
            Cut(b);
            b.configured = false;
            b.init = {};
            b.held = false;
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

    // The record of an operation that ended, to the listener and the log.
    void Record(I2cTransfer &&t) {
        if (on_transfer) {
            on_transfer(t);
        }
        if (keep_log) {
            log.push_back(std::move(t));
        }
    }
    // The peripheral is reset: the transfer on the wire stops where it is.
    void Cut(Bus &b) {
        ++b.resets;
        if (b.active) {
            b.active = false;
            b.on_wire.cut = true;
            b.on_wire.end_ns = now();
            Record(std::move(b.on_wire));
            b.on_wire = {};
        }
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

// The lines as GPIOs: a rising edge on SCL clocks every device on the bus; SDA rising while SCL
// is high is a STOP, which ends the transfer of the device last addressed.
template <int N> void OnScl(int level) {
    Bus &bus = g_i2c.buses[N];
    bus.scl = level;
    if (level == 1) {
        for (const auto &[addr, device] : bus.devices) {
            device->scl_pulse(now());
        }
    }
}
template <int N> void OnSda(int level) {
    Bus &bus = g_i2c.buses[N];
    if (level == 1 && bus.scl == 1 && !SdaHeld(bus) && bus.selected != nullptr) {
        bus.selected->i2c_stop(now());
        bus.selected = nullptr;
    }
}
// The lines are pulled up on the board: released, they read high.
template <int N> int SdaLevel() {
    return SdaHeld(g_i2c.buses[N]) ? 0 : 1;
}
int Released() {
    return 1;
}

// The peripheral's reset line from the RCC.
template <int N> void OnResetLine(bool held) {
    Bus &bus = g_i2c.buses[N];
    if (held) {
        g_i2c.Cut(bus);
        bus.configured = false;
        bus.init = {};
    }
    bus.held = held;
}

// The chip's pins of each bus, as this board (and the usual STM32F411 boards) wires them, and the
// reset lines.
struct Wiring {
    Wiring() {
        const uintptr_t a = GPIOA_BASE, b = GPIOB_BASE;
        const auto *pa = reinterpret_cast<const GPIO_TypeDef *>(a);
        const auto *pb = reinterpret_cast<const GPIO_TypeDef *>(b);
        gpio_wire(pb, 6, OnScl<0>, Released); // I2C1
        gpio_wire(pb, 7, OnSda<0>, SdaLevel<0>);
        gpio_wire(pb, 10, OnScl<1>, Released); // I2C2
        gpio_wire(pb, 3, OnSda<1>, SdaLevel<1>);
        gpio_wire(pa, 8, OnScl<2>, Released); // I2C3
        gpio_wire(pb, 4, OnSda<2>, SdaLevel<2>);
        static_assert(sizeof k_reset_lines / sizeof k_reset_lines[0] == 1);
        rcc_wire_reset(k_reset_lines[0], OnResetLine<0>);
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

// How long the board's layer waits for an event before it gives up: the caller's time-out, at most
// the 25 ms after which it gives up on a bus that does not move.
void WaitForAnEventThatNeverComes(uint32_t timeout_ms) {
    const uint64_t ms = timeout_ms < EVENT_WAIT_MS ? timeout_ms : EVENT_WAIT_MS;
    advance_to(now() + (ms + 1) * NS_PER_MS);
}

// A time-out lasts as on the board; the other failures come at once.
HAL_StatusTypeDef InjectedFault(uint64_t op, uint32_t timeout_ms) {
    for (const Fault &f : g_i2c.faults) {
        if (op == f.op_index || (f.from_then_on && op > f.op_index)) {
            if (f.status == HAL_TIMEOUT) {
                WaitForAnEventThatNeverComes(timeout_ms);
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
    g_i2c.Record(std::move(t));
    return st;
}

Hook<void (*)(I2C_HandleTypeDef *)> g_msp_init("HAL_I2C_MspInit");
Hook<void (*)(I2C_HandleTypeDef *)> g_msp_deinit("HAL_I2C_MspDeInit");

// Whether the bus can carry a transfer now; if not, the status after the board's wait: a
// peripheral held in reset answers no START (a time-out), a bus busy with a transfer this one
// interrupted, or held by a device, ends BUSY.
bool Claim(const Bus &bus, uint32_t timeout_ms, HAL_StatusTypeDef &st) {
    if (st != HAL_OK) {
        return false;
    }
    if (bus.held) {
        WaitForAnEventThatNeverComes(timeout_ms);
        st = HAL_TIMEOUT;
        return false;
    }
    if (bus.active || SdaHeld(bus)) {
        advance_to(now() + BUSY_WAIT_NS);
        st = HAL_BUSY;
        return false;
    }
    return true;
}

// A transfer going out on the bus, step by step: each step takes its bus time, during which an
// interrupt or a fault may reset the peripheral and cut it.
class OnWire {
  public:
    OnWire(Bus &bus, const I2cTransfer &record) : bus_(bus), resets_(bus.resets) {
        bus_.active = true;
        bus_.on_wire = record;
        bus_.on_wire.bytes.clear();
    }
    // The bus time of `bits`; false when the transfer was cut meanwhile.
    bool Wait(uint64_t bits) {
        advance_to(now() + bits * I2C_BIT_NS);
        return bus_.resets == resets_;
    }
    bool Start(dev::I2cDevice *device) {
        const bool ack = device != nullptr && device->i2c_start(now());
        bus_.selected = ack ? device : nullptr;
        return ack;
    }
    bool Write(dev::I2cDevice *device, uint8_t byte) {
        bus_.on_wire.bytes.push_back(byte);
        const bool ack = device->i2c_write(byte, now());
        bus_.on_wire.status = ack ? HAL_OK : HAL_ERROR;
        return ack;
    }
    // A repeated START with the address in the read direction.
    bool StartRead(dev::I2cDevice *device) {
        const bool ack = device != nullptr && device->i2c_start_read(now());
        bus_.selected = ack ? device : nullptr;
        bus_.on_wire.status = ack ? HAL_OK : HAL_ERROR;
        return ack;
    }
    uint8_t Read(dev::I2cDevice *device, bool ack) {
        const uint8_t byte = device->i2c_read(ack, now());
        bus_.on_wire.bytes.push_back(byte);
        return byte;
    }
    void Stop(dev::I2cDevice *device) {
        if (device != nullptr) {
            device->i2c_stop(now());
        }
        bus_.selected = nullptr;
        bus_.active = false;
    }

  private:
    Bus &bus_;
    uint64_t resets_;
};

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

using vmcu::detail::init_call;

extern "C" {

// While the peripheral is held in reset its registers take no writes: the set-up does nothing.
HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef *hi2c) {
    HAL_StatusTypeDef st = init_call("HAL_I2C_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Bus &bus = vmcu::detail::BusOf(hi2c->Instance);
    if (auto msp = vmcu::detail::g_msp_init.get()) {
        msp(hi2c);
    }
    if (!bus.held) {
        bus.configured = true;
        bus.init = hi2c->Init;
    }
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
    if (st == HAL_OK && (bus == nullptr || (!bus->configured && !bus->held))) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK && vmcu::detail::Claim(*bus, timeout, st)) {
        st = HAL_ERROR;
        dev::I2cDevice *dev = vmcu::detail::DeviceAt(*bus, dev_address);
        for (uint32_t trial = 0; trial < trials; ++trial) {
            vmcu::detail::OnWire wire(*bus, log);
            if (!wire.Wait(10)) {
                vmcu::detail::WaitForAnEventThatNeverComes(timeout);
                return HAL_TIMEOUT;
            }
            const bool ack = wire.Start(dev);
            if (!wire.Wait(1)) {
                vmcu::detail::WaitForAnEventThatNeverComes(timeout);
                return HAL_TIMEOUT;
            }
            wire.Stop(dev); // the master ends every trial with a STOP
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
// transfer with a STOP and HAL_ERROR. Cut by a reset of the peripheral, the call waits as the
// board's would for the next event and ends in a time-out; the cut transfer was recorded when it
// was cut.
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
    if (st == HAL_OK &&
        (bus == nullptr || (!bus->configured && !bus->held) || data == nullptr || size == 0)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK && vmcu::detail::Claim(*bus, timeout, st)) {
        dev::I2cDevice *dev = vmcu::detail::DeviceAt(*bus, dev_address);
        vmcu::detail::OnWire wire(*bus, log);
        bool whole = wire.Wait(10);
        bool ack = whole && wire.Start(dev);
        for (size_t k = 0; whole && ack && k < log.bytes.size(); ++k) {
            whole = wire.Wait(9);
            ack = whole && wire.Write(dev, log.bytes[k]);
        }
        whole = whole && wire.Wait(1);
        if (!whole) {
            vmcu::detail::WaitForAnEventThatNeverComes(timeout);
            return HAL_TIMEOUT;
        }
        wire.Stop(dev);
        st = ack ? HAL_OK : HAL_ERROR;
        hi2c->ErrorCode = ack ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    return vmcu::detail::Finish(std::move(log), st);
}

// START, address, register, repeated START, address (read), the data byte (not acknowledged: the
// last), STOP; each byte 9 clocks. One byte, as the board's layer reads. The record holds the
// register address, then what was read.
HAL_StatusTypeDef HAL_I2C_Mem_Read(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                   uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                   uint16_t size, uint32_t timeout) {
    vmcu::detail::Bus *bus = hi2c == nullptr ? nullptr : &vmcu::detail::BusOf(hi2c->Instance);
    HAL_StatusTypeDef st = HAL_OK;
    vmcu::I2cTransfer log =
        vmcu::detail::Begin(vmcu::I2cTransfer::MEM_READ, hi2c, dev_address, timeout, st);
    log.mem_add_size = mem_add_size;
    std::vector<uint8_t> address;
    if (mem_add_size != I2C_MEMADD_SIZE_8BIT) {
        address.push_back(static_cast<uint8_t>(mem_address >> 8));
    }
    address.push_back(static_cast<uint8_t>(mem_address));
    log.bytes = address;
    if (st == HAL_OK &&
        (bus == nullptr || (!bus->configured && !bus->held) || data == nullptr || size != 1)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK && vmcu::detail::Claim(*bus, timeout, st)) {
        dev::I2cDevice *dev = vmcu::detail::DeviceAt(*bus, dev_address);
        vmcu::detail::OnWire wire(*bus, log);
        bool whole = wire.Wait(10);
        bool ack = whole && wire.Start(dev);
        for (size_t k = 0; whole && ack && k < address.size(); ++k) {
            whole = wire.Wait(9);
            ack = whole && wire.Write(dev, address[k]);
        }
        whole = whole && (!ack || wire.Wait(10));
        ack = ack && whole && wire.StartRead(dev);
        for (uint16_t k = 0; whole && ack && k < size; ++k) {
            whole = wire.Wait(9);
            if (whole) {
                data[k] = wire.Read(dev, k + 1U < size);
                log.bytes.push_back(data[k]);
            }
        }
        whole = whole && wire.Wait(1);
        if (!whole) {
            vmcu::detail::WaitForAnEventThatNeverComes(timeout);
            return HAL_TIMEOUT;
        }
        wire.Stop(dev);
        st = ack ? HAL_OK : HAL_ERROR;
        hi2c->ErrorCode = ack ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    return vmcu::detail::Finish(std::move(log), st);
}

} // extern "C"

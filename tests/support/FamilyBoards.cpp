#include "support/FamilyBoards.h"

#include "support/EmulatedHidraw.h"
#include "support/ModbusServer.h"
#include "support/PseudoTerminal.h"

#include <QDebug>
#include <QFile>

#include <mutex>

namespace {

constexpr int kRelays = 4;

// An LCUS frame (A0 relay op sum) applied to `relays`; false for one a board would not take.
bool applyLcusFrame(const std::uint8_t* frame, std::uint8_t& relays) {
    const int relay = frame[1];
    const bool whole = frame[0] == 0xA0 && frame[2] <= 1 && relay >= 1 && relay <= 8 &&
                       frame[3] == static_cast<std::uint8_t>(frame[0] + frame[1] + frame[2]);
    if (!whole)
        return false;
    const auto bit = static_cast<std::uint8_t>(1U << (relay - 1));
    relays = frame[2] ? relays | bit : relays & ~bit;
    return true;
}

// The LCUS board of the HID kind: a frame in each output report after its report id 0.
class LcusHidFirmware final : public hidemu::Behaviour {
public:
    explicit LcusHidFirmware(std::uint8_t relays)
        : relays_(relays) {}
    int output(const std::vector<std::uint8_t>& report) override {
        const std::lock_guard guard(lock_);
        return report.size() >= 5 && report[0] == 0 && applyLcusFrame(&report[1], relays_) ? 0
                                                                                           : EPIPE;
    }
    std::uint8_t relays() const {
        const std::lock_guard guard(lock_);
        return relays_;
    }

private:
    mutable std::mutex lock_;
    std::uint8_t relays_;
};

// A board on an emulated hidraw node at port 1-1; `Firmware` keeps its relays.
template <typename Firmware> class HidrawBoard : public EmulatedBoard {
public:
    HidrawBoard(hidemu::HidrawSetup setup, QString id, QString configuration)
        : setup_(std::move(setup))
        , id_(std::move(id))
        , configuration_(std::move(configuration)) {
        plugIn(0);
    }
    QString id() const override { return id_; }
    QString configuration() const override { return configuration_; }
    std::uint8_t relays() override { return firmware_->relays(); }
    void unplug() override { bus_.unplug(*device_); }
    void plugBack() override { plugIn(firmware_->relays()); }
    void setWedged(bool wedged) override { device_->setWedged(wedged); }

private:
    void plugIn(std::uint8_t relays) {
        auto firmware = makeFirmware(relays);
        firmware_ = firmware.get();
        device_ = &bus_.add(setup_, std::move(firmware));
    }
    static std::unique_ptr<Firmware> makeFirmware(std::uint8_t relays) {
        if constexpr (std::is_same_v<Firmware, hidemu::UsbRelayFirmware>)
            return std::make_unique<Firmware>("QUAD4", kRelays, relays);
        else
            return std::make_unique<Firmware>(relays);
    }

    const hidemu::HidrawSetup setup_;
    const QString id_;
    const QString configuration_;
    hidemu::HidrawBus bus_;
    hidemu::EmulatedHidraw* device_ = nullptr; // the bus's
    Firmware* firmware_ = nullptr;             // the device's
};

class LcusSerialBoard final : public EmulatedBoard {
public:
    LcusSerialBoard() { plugBack(); }
    QString id() const override { return QStringLiteral("quad"); }
    QString configuration() const override {
        return QStringLiteral("[quad]\nfamily = lcus\ndevice = %1\nrelays = 4\n").arg(linkPath());
    }
    std::uint8_t relays() override {
        pending_ += port_->take();
        qsizetype at = 0;
        for (; at + 4 <= pending_.size(); at += 4)
            if (!applyLcusFrame(reinterpret_cast<const std::uint8_t*>(pending_.data() + at),
                                relays_))
                qWarning() << "the board took a frame it would refuse:"
                           << pending_.mid(at, 4).toHex(' ');
        pending_.remove(0, at);
        return relays_;
    }
    void unplug() override {
        relays();
        port_->hangUp();
        QFile::remove(linkPath());
    }
    void plugBack() override {
        port_ = std::make_unique<PseudoTerminal>();
        pending_.clear();
        linkTo(port_->path());
    }
    void setWedged(bool wedged) override { port_->setStopped(wedged); }

private:
    std::unique_ptr<PseudoTerminal> port_;
    QByteArray pending_; // a frame's first bytes, the rest still on the way
    std::uint8_t relays_ = 0;
};

class ModbusBoard final : public EmulatedBoard {
public:
    explicit ModbusBoard(ModbusServer::Kind kind)
        : kind_(kind) {
        plugBack();
    }
    QString id() const override { return QStringLiteral("quad"); }
    QString configuration() const override {
        const QString device =
            kind_ == ModbusServer::Kind::Tcp ? QString::fromStdString(device_) : linkPath();
        return QStringLiteral("[quad]\nfamily = modbus\ndevice = %1\nrelays = 4\n").arg(device);
    }
    std::uint8_t relays() override { return server_ ? server_->coils() : coils_; }
    void unplug() override {
        coils_ = server_->coils();
        server_.reset();
        QFile::remove(linkPath());
    }
    // A TCP board comes back at its address, as a board on the network does.
    void plugBack() override {
        if (kind_ == ModbusServer::Kind::Rtu) {
            server_ = ModbusServer::rtu(1, kRelays);
            linkTo(QString::fromStdString(server_->device()));
        } else {
            server_ = ModbusServer::tcp(kRelays, port_);
            device_ = server_->device();
            port_ = std::stoi(device_.substr(device_.rfind(':') + 1));
        }
        server_->setCoils(coils_);
    }
    void setWedged(bool wedged) override { server_->setSilent(wedged); }

private:
    const ModbusServer::Kind kind_;
    std::unique_ptr<ModbusServer> server_;
    std::string device_;
    int port_ = 0; // TCP, from the first start on
    std::uint8_t coils_ = 0;
};

} // namespace

void EmulatedBoard::linkTo(const QString& node) const {
    QFile::remove(linkPath());
    if (!QFile::link(node, linkPath()))
        qWarning() << "cannot link" << linkPath() << "to" << node;
}

QStringList emulatedFamilies() {
    return {QStringLiteral("hid"), QStringLiteral("lcus serial"), QStringLiteral("lcus hid"),
            QStringLiteral("modbus rtu"), QStringLiteral("modbus tcp")};
}

std::unique_ptr<EmulatedBoard> emulateBoard(const QString& family) {
    if (family == QLatin1String("lcus serial"))
        return std::make_unique<LcusSerialBoard>();
    if (family == QLatin1String("modbus rtu"))
        return std::make_unique<ModbusBoard>(ModbusServer::Kind::Rtu);
    if (family == QLatin1String("modbus tcp"))
        return std::make_unique<ModbusBoard>(ModbusServer::Kind::Tcp);
    if (!hidemu::HidrawBus::available())
        return nullptr;
    if (family == QLatin1String("hid"))
        return std::make_unique<HidrawBoard<hidemu::UsbRelayFirmware>>(
            hidemu::HidrawSetup{0x16c0, 0x05df, "www.dcttech.com", "USBRelay4", "", 1, {}},
            QStringLiteral("QUAD4"), QString());
    return std::make_unique<HidrawBoard<LcusHidFirmware>>(
        hidemu::HidrawSetup{0x5131, 0x2007, "", "", "", 1, {}}, QStringLiteral("quad"),
        QStringLiteral("[quad]\nfamily = lcus\ndevice = hid:1-1\nrelays = 4\n"));
}

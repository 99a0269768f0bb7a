#include "host/DesktopNotifier.h"

#include "hostapi/XmlText.h"

#include <Poco/Logger.h>
#include <Poco/TextConverter.h>
#include <Poco/UTF8Encoding.h>

#include <systemd/sd-bus.h>

#include <cstring>

namespace Orvana {
namespace Host {

namespace {

const char* const BUS_SERVICE = "org.freedesktop.Notifications";
const char* const BUS_PATH = "/org/freedesktop/Notifications";

Poco::Logger& logger() { return Poco::Logger::get("host"); }

std::string errorText(int error, const sd_bus_error* busError) {
    if (busError && sd_bus_error_is_set(busError))
        return std::string(busError->name) + ": " + (busError->message ? busError->message : "");
    return std::strerror(-error);
}

// D-Bus strings must be UTF-8, and paths need not be.
std::string validUtf8(const std::string& text) {
    Poco::UTF8Encoding utf8;
    Poco::TextConverter converter(utf8, utf8, 0xFFFD);
    std::string out;
    converter.convert(text, out);
    return out;
}

// Owns a bus connection and the error and reply of one call.
struct BusCall {
    sd_bus* bus = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ~BusCall() {
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        sd_bus_flush_close_unref(bus);
    }
    void reset() {
        reply = sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
};

int openBus(const std::string& address, sd_bus** bus) {
    if (address.empty()) return sd_bus_open_user(bus);
    int r = sd_bus_new(bus);
    if (r < 0) return r;
    if ((r = sd_bus_set_address(*bus, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(*bus, 1)) < 0 || (r = sd_bus_start(*bus)) < 0) {
        *bus = sd_bus_unref(*bus);
    }
    return r;
}

// True when the service reads markup in the body; then our texts must be
// escaped, or a "<" in a file name would garble or hide the text.
bool readsMarkup(BusCall& call) {
    if (sd_bus_call_method(call.bus, BUS_SERVICE, BUS_PATH, BUS_SERVICE, "GetCapabilities", &call.error,
                           &call.reply, "") < 0 ||
        sd_bus_message_enter_container(call.reply, 'a', "s") < 0) {
        return false;
    }
    const char* capability = nullptr;
    bool markup = false;
    while (sd_bus_message_read(call.reply, "s", &capability) > 0) {
        markup = markup || std::strcmp(capability, "body-markup") == 0;
    }
    return markup;
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::string busAddress, Translate translate,
                                 std::chrono::milliseconds timeout)
    : m_busAddress(std::move(busAddress)), m_translate(std::move(translate)), m_timeout(timeout) {}

std::string DesktopNotifier::title(const FailureNotice& notice) const {
    if (notice.result == "completed with errors") return m_translate("Backup completed with errors");
    if (notice.result == "overdue") return m_translate("Backup overdue");
    return m_translate("Backup failed");
}

std::string DesktopNotifier::body(const FailureNotice& notice, bool markup) {
    std::string text;
    for (const std::string* line : {&notice.source, &notice.reason}) {
        if (line->empty()) continue;
        if (!text.empty()) text += "\n";
        text += markup ? Orvana::Misc::XmlText::encode(*line) : validUtf8(*line);
    }
    return text;
}

bool DesktopNotifier::notify(const FailureNotice& notice) const {
    const std::string record = "record " + std::to_string(notice.recordId);
    BusCall call;
    int r = openBus(m_busAddress, &call.bus);
    if (r < 0) {
        logger().information("No desktop notification for " + record +
                             ": no session bus (" + errorText(r, nullptr) + ")");
        return false;
    }
    sd_bus_set_method_call_timeout(call.bus,
                                   static_cast<uint64_t>(m_timeout.count()) * 1000);
    const bool markup = readsMarkup(call);
    call.reset();
    const bool overdue = notice.result == "overdue";
    const uint8_t urgency = overdue ? 1 : 2;  // normal, critical
    r = sd_bus_call_method(call.bus, BUS_SERVICE, BUS_PATH, BUS_SERVICE, "Notify", &call.error, &call.reply,
                           "susssasa{sv}i", "Backup", 0u,
                           overdue ? "dialog-warning" : "dialog-error",
                           validUtf8(title(notice)).c_str(), body(notice, markup).c_str(), 0, 1,
                           "urgency", "y", urgency, -1);
    if (r < 0) {
        logger().warning("The desktop notification for " + record +
                         " failed: " + errorText(r, &call.error));
        return false;
    }
    return true;
}

}  // namespace Host
}  // namespace Orvana

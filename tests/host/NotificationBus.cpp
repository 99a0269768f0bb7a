#include "NotificationBus.h"

#include <Poco/File.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace TestSupport {

namespace {

const char* const kDaemon = "/usr/bin/dbus-daemon";
const char* const kName = "org.freedesktop.Notifications";

struct Context {
    NotificationBus::Desktop desktop;
    std::mutex* mutex;
    std::vector<NotificationBus::Call>* calls;
};

int onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* context = static_cast<Context*>(userdata);
    NotificationBus::Call call;
    const char *app = "", *icon = "", *summary = "", *body = "";
    uint32_t replaces = 0;
    int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0) return r;
    call.app = app;
    call.icon = icon;
    call.summary = summary;
    call.body = body;
    if ((r = sd_bus_message_skip(m, "as")) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = "";
        sd_bus_message_read(m, "s", &key);
        uint8_t urgency = 0;
        if (std::strcmp(key, "urgency") == 0 && sd_bus_message_read(m, "v", "y", &urgency) >= 0)
            call.urgency = urgency;
        else
            sd_bus_message_skip(m, "v");
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(*context->mutex);
        context->calls->push_back(call);
        id = static_cast<uint32_t>(context->calls->size());
    }
    // A stalled desktop takes the call and never answers it.
    if (context->desktop == NotificationBus::STALLED) return 1;
    return sd_bus_reply_method_return(m, "u", id);
}

int onCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* context = static_cast<Context*>(userdata);
    if (context->desktop == NotificationBus::MARKUP)
        return sd_bus_reply_method_return(m, "as", 2, "body", "body-markup");
    return sd_bus_reply_method_return(m, "as", 1, "body");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetCapabilities", "", "as", onCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

// The first line the daemon prints (its address), waiting up to 10 s.
std::string readLine(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        if (::read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

}  // namespace

bool NotificationBus::daemonInstalled() { return ::access(kDaemon, X_OK) == 0; }

NotificationBus::NotificationBus(Desktop desktop) : m_desktop(desktop) {
    const std::string config = m_dir.join("session.conf");
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path=" + m_dir.join("bus") + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Its complaints (as root it cannot raise its descriptor limit) stay here.
    const std::string log = m_dir.join("daemon.log");
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string configArg = "--config-file=" + config;
    char* argv[] = {const_cast<char*>(kDaemon), const_cast<char*>(configArg.c_str()),
                    const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"),
                    nullptr};
    if (::posix_spawn(&m_daemon, kDaemon, &actions, nullptr, argv, environ) != 0) m_daemon = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (m_daemon > 0) m_address = readLine(out[0]);
    ::close(out[0]);
    if (m_address.empty() || desktop == NO_OWNER) return;

    std::atomic<int> ready{0};  // 1: the name is ours, -1: failed
    m_thread = std::thread([this, &ready] { serve(&ready); });
    while (ready == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (ready < 0) m_address.clear();
}

NotificationBus::~NotificationBus() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_daemon > 0) {
        ::kill(m_daemon, SIGTERM);
        ::waitpid(m_daemon, nullptr, 0);
    }
}

std::vector<NotificationBus::Call> NotificationBus::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void NotificationBus::serve(std::atomic<int>* ready) {
    Context context = {m_desktop, &m_mutex, &m_calls};
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    bool ok = sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, m_address.c_str()) >= 0 &&
              sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
              sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/Notifications", kName,
                                       kVtable, &context) >= 0 &&
              sd_bus_request_name(bus, kName, 0) >= 0;
    *ready = ok ? 1 : -1;
    while (ok && !m_stop) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, 50000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
}

}  // namespace TestSupport

#include "host/HostApplication.h"

#include "host/DeviceFingerprint.h"
#include "host/DeviceIdentity.h"
#include "host/HostContext.h"
#include "host/HostGuard.h"
#include "host/HostRequestFactory.h"
#include "host/HostServices.h"
#include "host/InstallLayout.h"
#include "host/PairedDevices.h"
#include "host/PeerConnector.h"
#include "host/PeerListener.h"
#include "host/PageAddressFile.h"
#include "host/PluginLoader.h"
#include "host/ProfileLock.h"
#include "host/ServerCapacity.h"
#include "host/StoredPeer.h"
#include "host/StoredToken.h"
#include "host/TerminationSignal.h"
#include "hostapi/ActivityManager.h"
#include "hostapi/HostControl.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Path.h>
#include <Poco/PatternFormatter.h>
#include <Poco/ThreadPool.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace Orvana {
namespace Host {

using Orvana::HostKit::HostControl;
using Poco::Util::Option;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string loginName() {
    std::string name = environment("USER");
    if (name.empty()) {
        const passwd* entry = getpwuid(getuid());
        name = entry ? entry->pw_name : "user";
    }
    return name;
}

std::string withoutTrailingSeparator(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

HostApplication::HostApplication() { setUnixOptions(true); }

void HostApplication::defineOptions(Poco::Util::OptionSet& options) {
    Application::defineOptions(options);
    auto add = [&](const char* name, const char* argument, const char* description) {
        Option option(name, "", description);
        if (argument) option.argument(argument);
        options.addOption(option);
    };
    options.addOption(Option("help", "h", "show the options and exit"));
    add("profile", "DIR",
        "profile folder (default $XDG_DATA_HOME/backup-host or ~/.local/share/backup-host)");
    add("user-data", "DIR", "user data folder (default: the profile folder's data)");
    add("port", "N", "HTTP port (default 8480; 0 picks a free one)");
    add("bind", "ADDR", "address to listen on (default 127.0.0.1)");
    add("peer", "USER@HOST",
        "this device's peer, kept in the profile (first default: login name @ host name)");
    options.addOption(Option("group", "", "a group and its peers; may be repeated")
                          .argument("NAME=PEER[,PEER...]")
                          .repeatable(true));
    add("plugin", "PATH", "the plug-in library (default: libbackup.so beside the program)");
    add("ui", "DIR", "folder holding the page's files (default: found beside the program)");
    add("lang", "CODE", "language of the texts (default from LANG; en: untranslated)");
    add("log-level", "LEVEL",
        "none, fatal, critical, error, warning, notice, information, debug, trace");
    add("reply-timeout", "SECONDS", "how long a web request waits for the plug-in (default 30)");
    add("token", "TEXT", "the session token for this run (default: the one kept in the profile)");
    options.addOption(Option("new-token", "", "replace the session token kept in the profile"));
    add("on-failure", "CMD",
        "shell command run when a backup fails (BACKUP_RECORD_ID, BACKUP_SOURCE, "
        "BACKUP_DESTINATION, BACKUP_RESULT, BACKUP_REASON in its environment)");
    options.addOption(
        Option("url", "", "print the page address of the host running on the profile and exit"));
    options.addOption(Option("device-id", "", "print this device's fingerprint and exit"));
    add("peer-port", "N", "port other devices connect to (default 8481; 0 picks a free one)");
    add("peer-bind", "ADDR",
        "address other devices connect to (default: every address; none: no connections)");
    options.addOption(Option("peer-address", "", "where a device is reached; may be repeated")
                          .argument("PEER=HOST:PORT")
                          .repeatable(true));
    options.addOption(Option("trust", "", "trust a device by its fingerprint; may be repeated")
                          .argument("PEER=FINGERPRINT")
                          .repeatable(true));
}

void HostApplication::handleOption(const std::string& name, const std::string& value) {
    Application::handleOption(name, value);
    if (name == "help") {
        m_helpRequested = true;
        stopOptionsProcessing();
    } else if (name == "profile") {
        m_settings.profileDir = value;
    } else if (name == "user-data") {
        m_settings.userDataDir = value;
    } else if (name == "port") {
        const int port = Poco::NumberParser::parse(value);
        if (port < 0 || port > 65535) throw Poco::InvalidArgumentException("port", value);
        m_settings.port = port;
    } else if (name == "bind") {
        m_settings.bindAddress = value;
    } else if (name == "peer") {
        m_settings.peer = value;
    } else if (name == "group") {
        HostSettings::parseGroup(value);  // reject a bad one now, before anything starts
        m_settings.groups.push_back(value);
    } else if (name == "plugin") {
        m_settings.pluginPath = value;
    } else if (name == "ui") {
        m_settings.uiDir = value;
    } else if (name == "lang") {
        m_settings.language = value;
    } else if (name == "log-level") {
        Poco::Logger::parseLevel(value);  // throws on an unknown level
        m_settings.logLevel = value;
    } else if (name == "reply-timeout") {
        const int seconds = Poco::NumberParser::parse(value);
        if (seconds <= 0) throw Poco::InvalidArgumentException("reply-timeout", value);
        m_settings.replyTimeoutSeconds = seconds;
    } else if (name == "url") {
        m_urlRequested = true;
    } else if (name == "token") {
        if (value.empty()) throw Poco::InvalidArgumentException("token", "empty");
        m_settings.token = value;
    } else if (name == "new-token") {
        m_settings.newToken = true;
    } else if (name == "device-id") {
        m_deviceIdRequested = true;
    } else if (name == "peer-port") {
        const int port = Poco::NumberParser::parse(value);
        if (port < 0 || port > 65535) throw Poco::InvalidArgumentException("peer-port", value);
        m_settings.peerPort = port;
    } else if (name == "peer-bind") {
        Poco::Net::IPAddress address;
        if (value != "none" && !Poco::Net::IPAddress::tryParse(value, address))
            throw Poco::InvalidArgumentException("peer-bind: not an IP address or none", value);
        m_settings.peerBind = value;
    } else if (name == "peer-address") {
        const auto assignment = PairedDevices::splitAssignment(value);
        if (PairedDevices::normalizeAddress(assignment.second).empty())
            throw Poco::InvalidArgumentException("peer-address: not HOST:PORT", value);
        m_settings.peerAddresses.push_back(value);
    } else if (name == "trust") {
        const auto assignment = PairedDevices::splitAssignment(value);
        if (DeviceFingerprint::normalize(assignment.second).empty())
            throw Poco::InvalidArgumentException("trust: not a fingerprint", value);
        m_settings.trusted.push_back(value);
    } else if (name == "on-failure") {
        if (value.empty()) throw Poco::InvalidArgumentException("on-failure", "empty");
        m_settings.onFailure = value;
    }
}

void HostApplication::displayHelp() {
    Poco::Util::HelpFormatter help(options());
    help.setCommand(commandName());
    help.setUsage("[options]");
    help.setHeader("Runs the backup plug-in and serves its web page.");
    help.format(std::cout);
}

void HostApplication::resolveDefaults() {
    const std::string programDir =
        InstallLayout::programDir(config().getString("application.dir"));
    if (m_settings.profileDir.empty()) {
        m_settings.profileDir =
            HostSettings::defaultProfileDir(environment("XDG_DATA_HOME"), environment("HOME"));
    }
    m_settings.profileDir =
        withoutTrailingSeparator(Poco::Path(m_settings.profileDir).makeAbsolute().toString());
    if (m_settings.userDataDir.empty()) m_settings.userDataDir = m_settings.profileDir + "/data";
    m_settings.userDataDir =
        withoutTrailingSeparator(Poco::Path(m_settings.userDataDir).makeAbsolute().toString());
    if (m_settings.pluginPath.empty())
        m_settings.pluginPath = InstallLayout::pluginPath(programDir);
    m_settings.uiDir = InstallLayout::uiDir(m_settings.uiDir, programDir);
    if (m_settings.language.empty()) {
        m_settings.language = HostSettings::languageFromLocale(environment("LANG"));
    }
}

void HostApplication::setupLogging() {
    Poco::AutoPtr<Poco::PatternFormatter> format(
        new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%i %q %s: %t"));
    format->setProperty("times", "local");
    Poco::AutoPtr<Poco::FormattingChannel> channel(
        new Poco::FormattingChannel(format, new Poco::ConsoleChannel));
    const int level = Poco::Logger::parseLevel(m_settings.logLevel);
    Poco::Logger::root().setChannel(channel);
    Poco::Logger::root().setLevel(level);
    // Loggers made before this point (Poco's own) follow too.
    Poco::Logger::setChannel("", channel);
    Poco::Logger::setLevel("", level);
}

void HostApplication::logIn() {
    Poco::File(m_settings.profileDir).createDirectories();
    Poco::File(m_settings.userDataDir).createDirectories();
    std::vector<boost::shared_ptr<Orvana::Data::Group>> groups;
    for (const std::string& text : m_settings.groups)
        groups.push_back(HostSettings::parseGroup(text));

    HostControl::setActivityFeed([](const Orvana::Data::Activity& activity) {
        Poco::Logger::get("activity")
            .information("[level " + std::to_string(activity.getLevel()) + ", source " +
                         std::to_string(activity.getSource()) + "] " + activity.getText());
    });
    HostControl::setProfileRootDir(m_settings.profileDir);
    HostControl::setProfileUserDataDir(m_settings.userDataDir);
    HostControl::setPeerID(Orvana::Data::PeerID(m_settings.peer));
    HostControl::setGroups(groups);
    HostControl::setLanguage(m_settings.language);
    HostControl::setLoggedIn(true);
    Poco::Logger::get("host").information("Profile " + m_settings.profileDir + " logged in as " +
                                          m_settings.peer);
}

int HostApplication::printRunningUrl() {
    const std::string address = PageAddressFile::runningAddress(m_settings.profileDir);
    if (address.empty()) {
        std::cerr << commandName() << ": no host runs on the profile " << m_settings.profileDir
                  << "\n";
        return 1;
    }
    std::cout << address << std::endl;
    return EXIT_OK;
}

int HostApplication::printDeviceId() {
    try {
        Poco::File(m_settings.profileDir).createDirectories();
        // A running host made the identity already; without one this is the
        // first start, and the identity is made under the lock.
        ProfileLock profileLock(m_settings.profileDir);
        const DeviceIdentity identity = profileLock.tryLock()
                                            ? DeviceIdentity::loadOrCreate(m_settings.profileDir)
                                            : DeviceIdentity::load(m_settings.profileDir);
        std::cout << identity.fingerprint() << std::endl;
        return EXIT_OK;
    } catch (Poco::Exception& e) {
        std::cerr << commandName() << ": no device identity in " << m_settings.profileDir << ": "
                  << e.displayText() << "\n";
        return 1;
    }
}

// The other devices' side of the host. The identity is null when it could not
// be made, and the connector and the listener are then null too; the listener
// is null also when switched off or when its port could not be bound.
// Declared in the order of making, so that it is taken down in reverse.
struct HostApplication::PeerSide {
    std::unique_ptr<DeviceIdentity> identity;
    std::unique_ptr<PairedDevices> devices;
    std::unique_ptr<PeerConnector> connector;
    std::unique_ptr<PeerListener> listener;
};

int HostApplication::main(const std::vector<std::string>& args) {
    if (m_helpRequested) {
        displayHelp();
        return EXIT_OK;
    }
    if (!args.empty()) {
        std::cerr << commandName() << ": unexpected argument " << args.front() << " (see --help)\n";
        return EXIT_USAGE;
    }
    resolveDefaults();
    if (m_urlRequested) return printRunningUrl();
    if (m_deviceIdRequested) return printDeviceId();
    // The lock comes before anything reads or writes the profile: a second
    // host on it would run the same records over the same database.
    Poco::File(m_settings.profileDir).createDirectories();
    ProfileLock profileLock(m_settings.profileDir);
    if (!profileLock.tryLock()) {
        std::cerr << commandName() << ": profile " << m_settings.profileDir
                  << " is in use by another backup-host\n";
        return 1;
    }
    m_settings.peer = StoredPeer::resolve(m_settings.profileDir, m_settings.peer,
                                          loginName() + "@" + Poco::Environment::nodeName());
    if (!Orvana::Data::PeerID(m_settings.peer).isValid()) {
        std::cerr << commandName() << ": not a peer (USER@HOST): " << m_settings.peer << "\n";
        return EXIT_USAGE;
    }
    setupLogging();
    m_settings.token =
        StoredToken::resolve(m_settings.profileDir, m_settings.token, m_settings.newToken);
    return runOnProfile();
}

int HostApplication::runOnProfile() {
    Poco::Logger& log = Poco::Logger::get("host");
    Poco::Net::IPAddress bindAddress;
    if (!Poco::Net::IPAddress::tryParse(m_settings.bindAddress, bindAddress)) {
        std::cerr << commandName() << ": not an IP address: " << m_settings.bindAddress << "\n";
        return EXIT_USAGE;
    }
    // Bind first: a taken port should fail before the plug-in starts work.
    Poco::Net::ServerSocket socket;
    const int listening = listenForPage(bindAddress, socket);
    if (listening != EXIT_OK) return listening;

    logIn();
    PeerSide peers;
    const int paired = openPeerSide(peers);
    if (paired != EXIT_OK) return paired;

    HostServices services(m_settings, log);
    services.start();
    PluginLoader plugin;
    try {
        plugin.load(m_settings.pluginPath);
    } catch (Poco::Exception& e) {
        log.error("Cannot load the plug-in " + m_settings.pluginPath + ": " + e.displayText());
        services.stop();
        HostControl::setPeerConnector(nullptr);
        HostControl::setPeerProbe(nullptr);
        return EXIT_SOFTWARE;
    }
    if (!plugin.start(services.dispatcher())) {
        log.error("The plug-in refused to start; its web requests will be answered with 503");
    }
    if (peers.listener) {
        peers.listener->start();
        log.information("Other devices connect on port " + std::to_string(peers.listener->port()) +
                        "; this device is " + peers.identity->fingerprint());
    }

    serve(socket, bindAddress, services, plugin, peers);

    // No request of another device may reach the plug-in while it stops; its
    // own exchanges end with it.
    if (peers.listener) peers.listener->stop();
    plugin.stop();
    HostControl::setPeerConnector(nullptr);
    HostControl::setPeerProbe(nullptr);
    if (peers.connector) peers.connector->close();
    services.stop();
    HostControl::setActivityFeed(nullptr);
    log.information("Stopped");
    return EXIT_OK;
}

int HostApplication::listenForPage(const Poco::Net::IPAddress& address,
                                   Poco::Net::ServerSocket& socket) {
    try {
        // Reuse the address (a port left in TIME_WAIT by the last run) but
        // never the port: with SO_REUSEPORT a second host would share it and
        // the kernel would split the connections between the two.
        socket.bind(Poco::Net::SocketAddress(address, static_cast<Poco::UInt16>(m_settings.port)),
                    true, false);
        socket.listen(ServerCapacity::BACKLOG);
    } catch (Poco::Exception& e) {
        if (e.code() == EADDRINUSE) {
            std::cerr << commandName() << ": port " << m_settings.port << " on "
                      << m_settings.bindAddress << " is already in use\n";
            return 1;
        }
        Poco::Logger::get("host").error("Cannot listen on " + m_settings.bindAddress + ":" +
                                        std::to_string(m_settings.port) + ": " + e.displayText());
        return EXIT_UNAVAILABLE;
    }
    return EXIT_OK;
}

int HostApplication::openPeerSide(PeerSide& peers) {
    Poco::Logger& log = Poco::Logger::get("host");
    // Pairing: the page keeps working without it, so a failure here only
    // leaves other devices out.
    try {
        peers.identity.reset(
            new DeviceIdentity(DeviceIdentity::loadOrCreate(m_settings.profileDir)));
    } catch (Poco::Exception& e) {
        log.error("No device identity; other devices cannot connect: " + e.displayText());
    }
    peers.devices.reset(new PairedDevices(m_settings.profileDir));
    try {
        for (const std::string& text : m_settings.peerAddresses) {
            const auto assignment = PairedDevices::splitAssignment(text);
            peers.devices->setAddress(assignment.first, assignment.second);
        }
        for (const std::string& text : m_settings.trusted) {
            const auto assignment = PairedDevices::splitAssignment(text);
            peers.devices->trust(assignment.first, assignment.second);
        }
    } catch (Poco::Exception& e) {
        std::cerr << commandName() << ": " << e.displayText() << "\n";
        return EXIT_USAGE;
    }
    if (!peers.identity) return EXIT_OK;

    peers.connector.reset(new PeerConnector(*peers.identity, *peers.devices));
    PeerConnector* link = peers.connector.get();
    HostControl::setPeerConnector(
        [link](const Orvana::Data::PeerID& peer, const Orvana::API::PeerFrame& request,
               int timeoutSeconds) { return link->exchange(peer, request, timeoutSeconds); });
    HostControl::setPeerProbe(
        [link](const Orvana::Data::PeerID& peer) { return link->reachable(peer); });
    if (m_settings.peerBind == "none") return EXIT_OK;

    peers.listener.reset(new PeerListener(*peers.identity, *peers.devices));
    const std::string where = (m_settings.peerBind.empty() ? "every address" : m_settings.peerBind);
    try {
        peers.listener->bind(m_settings.peerBind, m_settings.peerPort);
    } catch (Poco::Exception& e) {
        log.error(e.code() == EADDRINUSE
                      ? "The peer port " + std::to_string(m_settings.peerPort) + " on " + where +
                            " is already in use; other devices cannot connect"
                      : "Cannot listen for other devices on " + where + ": " + e.displayText());
        peers.listener.reset();
    }
    return EXIT_OK;
}

void HostApplication::serve(Poco::Net::ServerSocket& socket, const Poco::Net::IPAddress& address,
                            HostServices& services, PluginLoader& plugin, PeerSide& peers) {
    Poco::Logger& log = Poco::Logger::get("host");
    const HostGuard guard(m_settings.token, address.isLoopback());
    HostContext context;
    context.guard = &guard;
    context.syncProxy = &services.syncProxy();
    context.events = &services.events();
    context.dispatcher = &services.dispatcher();
    context.plugin = &plugin.identity();
    context.serviceName = plugin.service()->name();
    context.uiRoot = m_settings.uiDir;
    context.replyTimeoutMs = m_settings.replyTimeoutSeconds * 1000L;
    context.devices = peers.identity ? peers.devices.get() : nullptr;
    context.connector = peers.connector.get();
    context.deviceFingerprint = peers.identity ? peers.identity->fingerprint() : "";
    context.peerPort = peers.listener ? peers.listener->port() : 0;
    if (!Poco::File(context.uiRoot + "/" + context.serviceName + "/index.html").exists()) {
        log.warning("No page found in " + context.uiRoot + " (use --ui)");
    }

    Poco::ThreadPool pool(2, ServerCapacity::poolCapacity());
    Poco::Net::HTTPServer server(new HostRequestFactory(context), pool, socket,
                                 ServerCapacity::params());
    server.start();
    const std::string host = address.isWildcard() ? "127.0.0.1"
                             : address.family() == Poco::Net::IPAddress::IPv6
                                 ? "[" + address.toString() + "]"
                                 : address.toString();
    const std::string url = "http://" + host + ":" + std::to_string(socket.address().port()) +
                            "/" + plugin.identity().url + "?token=" + m_settings.token;
    std::cout << commandName() << ": open " << url << std::endl;
    // Removed on return, after the server has stopped.
    const std::unique_ptr<PageAddressFile> published =
        PageAddressFile::publish(m_settings.profileDir, url);

    const int signal = TerminationSignal::wait();
    log.information("Signal " + std::to_string(signal) + " received; shutting down");
    // Waiting requests are answered first, then no request may reach the
    // plug-in while it stops.
    services.syncProxy().close();
    server.stopAll(true);
    pool.joinAll();
}

}  // namespace Host
}  // namespace Orvana

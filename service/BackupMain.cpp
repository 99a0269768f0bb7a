#include "engine/BackupProgressRegistry.h"
#include "service/BackupMain.h"

#include "engine/BackupActivity.h"
#include "engine/IncomingStore.h"
#include "engine/RestoreLedger.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/Activity.h"
#include "hostapi/ActivityManager.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageEventInfo.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/MessageWorkNotification.h"
#include "hostapi/PeerLink.h"
#include "hostapi/PoManager.h"
#include "hostapi/ProfileManager.h"

#include <Poco/AutoPtr.h>
#include <Poco/Bugcheck.h>
#include <Poco/Delegate.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

namespace Orvana {
namespace Backup {

using Orvana::Misc::MessageUtil;

namespace {
const char* const PERIODIC_TIMER = "BACKUP_PERIODIC_TIMER";
const char* const TRANSLATIONS_FILE = "translations.zip";
}  // namespace

BackupPlugin::BackupPlugin()
    : m_pDispatcher(nullptr), m_name("backup"), m_pDB(new BackupDB("backup")), m_stop(false) {
    // Runs kept in memory belong to the previous service's database.
    BackupProgressRegistry::instance().forgetRuns();
    typedef OpProcessor::Handler H;
    m_processor.addHandler("TIMER", H(this, &BackupPlugin::onTimer));
    m_processor.addHandler("HOSTKIT_EVENT_NOTIFICATION", H(this, &BackupPlugin::onEventMessage));
    m_processor.addHandler("addbackuprecord", H(this, &BackupPlugin::onAddBackupRecord));
    m_processor.addHandler("synconerecord", H(this, &BackupPlugin::onSyncOneRecord));
    m_processor.addHandler("syncallrecords", H(this, &BackupPlugin::onSyncAllRecords));
    m_processor.addHandler("deletebackuprecord", H(this, &BackupPlugin::onDeleteBackupRecord));
    m_processor.addHandler("stopbackup", H(this, &BackupPlugin::onStopBackupRecord));
    m_processor.addHandler("getallbackuprecs", H(this, &BackupPlugin::onGetAllBackupRecords));
    m_processor.addHandler("enablerecord", H(this, &BackupPlugin::onEnableRecord));
    m_processor.addHandler("disablerecord", H(this, &BackupPlugin::onDisableRecord));
    m_processor.addHandler("setmodevalue", H(this, &BackupPlugin::onSetModeValue));
    m_processor.addHandler("getactivity", H(this, &BackupPlugin::onGetActivity));
    m_processor.addHandler("getdefaultstorelocation",
                           H(this, &BackupPlugin::onGetDefaultStoreLocation));
    m_processor.addHandler("setdefaultstorelocation",
                           H(this, &BackupPlugin::onSetDefaultStoreLocation));
    m_processor.addHandler("getbackupfiles", H(this, &BackupPlugin::onGetBackupFiles));
    m_processor.addHandler("restorefiles", H(this, &BackupPlugin::onRestoreFiles));
    m_processor.addHandler("getfileversions", H(this, &BackupPlugin::onGetFileVersions));
    m_processor.addHandler("getbackupstatus", H(this, &BackupPlugin::onGetBackupStatus));
    m_processor.addHandler("getbackupsettings", H(this, &BackupPlugin::onGetBackupSettings));
    m_processor.addHandler("setbackupsettings", H(this, &BackupPlugin::onSetBackupSettings));
    m_processor.addHandler("previewexcludes", H(this, &BackupPlugin::onPreviewExcludes));
}

BackupPlugin::~BackupPlugin() {
    // A host that never called shutdown would otherwise leave the service
    // thread running on a destroyed object.
    if (m_thread.isRunning()) {
        m_stop = true;
        while (!m_thread.tryJoin(100)) m_queue.wakeUpAll();
    }
    // Workers that ended on their own still hold their objects.
    stopWorkers(false);
}

bool BackupPlugin::init(const std::string& pluginPath) {
    m_pluginPath = pluginPath;
    return true;
}

const std::string& BackupPlugin::name() const { return m_name; }

bool BackupPlugin::startup(Orvana::System::MessageDispatcher* dispatcher) {
    if (!m_pDB->isValid()) {
        Poco::Logger::root().error(
            "Failed to initialize Backup Database! Backup application will be suspended");
        Orvana::API::ActivityManager::activityAdd(Orvana::Data::Activity(
            3, 4,
            tr("Orvana Backup suspended because application Database could not be initialized!")));
        return false;
    }
    m_pDispatcher = dispatcher;

    boost::shared_ptr<Orvana::System::MessageEventInfo> info(new Orvana::System::MessageEventInfo);
    info->messageEvent +=
        Poco::Delegate<BackupPlugin, MessagePtr, true>(this, &BackupPlugin::onMessage);
    if (!m_pDispatcher->registerMessageHandler(this, info)) {
        // Not registered: a later shutdown has nothing to undo.
        m_pDispatcher = nullptr;
        Poco::Bugcheck::assertion("registerMessageHandler", __FILE__, __LINE__);
    }

    m_thread.start(*this);

    // Backups that other devices send here. The handler owns the store, so
    // a call still running after shutdown keeps it alive.
    std::shared_ptr<IncomingStore> incoming =
        std::make_shared<IncomingStore>(m_name, m_pDB->filePath());
    Orvana::API::PeerLink::setHandler(
        [incoming](const Orvana::Data::PeerID& from, const Orvana::API::PeerFrame& request) {
            return incoming->handle(from, request);
        });

    if (!Orvana::PoManager().addPoVfs(m_pluginPath + TRANSLATIONS_FILE, m_name))
        Poco::Logger::root().error("Failed to load Backup plugin translations");
    return true;
}

void BackupPlugin::onMessage(const void*, MessagePtr& message) {
    m_queue.enqueueNotification(new Orvana::System::MessageWorkNotification(message));
}

void BackupPlugin::run() {
    Orvana::Util::BackupLog ls;
    ls.trace() << m_name << "  plugin started..." << std::endl;

    const std::string custom = m_pDB->getConfigValue(m_name, "CUSTOM_DIR_SET", "NONE");
    if (custom != "NONE" && m_pDB->doesConfigExist(m_name, "BACKUP_DEF_STORE_KEY")) {
        m_defaultStoreLocation =
            m_pDB->getConfigValue(m_name, "BACKUP_DEF_STORE_KEY", m_defaultStoreLocation);
    } else {
        m_defaultStoreLocation =
            Orvana::API::ProfileManager::getProfileUserDataDir() + Poco::Path::separator() + m_name;
    }

    // What a killed restore staged in a user's folder goes before any new work.
    RestoreLedger::sweepLeftovers(*m_pDB);

    registerTimers();
    registerEvents();

    for (;;) {
        if (m_stop) break;
        Poco::AutoPtr<Poco::Notification> note(m_queue.waitDequeueNotification());
        if (m_stop || note.isNull()) {
            ls.trace() << "Orvana::Backup::BackupPlugin::run"
                       << " :Shutdown processing - " << m_name << " plugin exiting" << std::endl;
            continue;
        }
        if (!Orvana::API::ProfileManager::isProfileLoggedIn()) {
            ls.trace() << m_name << " : No profile logged in. Ignoring requests" << std::endl;
            continue;
        }
        auto* work = dynamic_cast<Orvana::System::MessageWorkNotification*>(note.get());
        if (!work) continue;
        MessagePtr message = work->getMessage();
        processRequests(message);
    }
}

void BackupPlugin::registerTimers() {
    m_pDispatcher->sendMessage(
        MessageUtil::createNewTimerStartMessage(m_name, PERIODIC_TIMER, 60000, -1));
}

void BackupPlugin::registerEvents() {
    m_pDispatcher->sendMessage(
        MessageUtil::createNewEventNotifierSubscribeMessage(m_name, "USER_DATA_DIR_CHANGED"));
    m_pDispatcher->sendMessage(
        MessageUtil::createNewEventNotifierSubscribeMessage(m_name, "PEER_DISCONNECT"));
}

// The stray "<<" in the last line is part of it as it has always been logged.
bool BackupPlugin::shutdown() {
    // Nothing was started (suspended start, or already stopped).
    if (!m_pDispatcher) return true;

    Orvana::Util::BackupLog ls;
    ls.trace() << m_name << " Shutting down thread " << std::endl;

    if (!m_pDispatcher->unRegisterMessageHandler(this))
        Poco::Bugcheck::assertion("unRegisterMessageHandler", __FILE__, __LINE__);

    Orvana::API::PeerLink::setHandler(Orvana::API::PeerLink::Handler());
    m_stop = true;
    // Join the service thread before touching m_workers: a handler may be
    // creating a worker right now. Waking repeatedly covers the gap between
    // its stop test and its wait.
    if (m_thread.isRunning()) {
        while (!m_thread.tryJoin(100)) m_queue.wakeUpAll();
    }
    // Only now: the thread starts the timer and subscribes when it begins,
    // so a shutdown right after startup could otherwise cancel them before
    // they exist and leave them running for a service that is gone.
    m_pDispatcher->sendMessage(MessageUtil::createNewTimerStopMessage(m_name, PERIODIC_TIMER));
    m_pDispatcher->sendMessage(MessageUtil::createNewEventNotifierUnSubscribeAllMessage(m_name));

    ls.trace() << m_name << " Stopping all worker threads" << std::endl;
    stopWorkers(true);
    ls.trace() << m_name << " All worker threads stopped" << std::endl;

    if (!Orvana::PoManager().removePoVfs(m_pluginPath + TRANSLATIONS_FILE))
        Poco::Logger::root().error("Failed to remove Backup plugin translations");

    m_pDispatcher = nullptr;
    ls.trace() << m_name << " << Service exited successfully " << std::endl;
    return true;
}

void BackupPlugin::stopWorkers(bool onlyRunning) {
    for (auto& entry : m_workers) {
        BackupActivity* worker = entry.second;
        if (!worker) continue;
        const bool running = worker->activity().isRunning();
        if (onlyRunning && !running) continue;
        if (running) worker->stop();
        delete worker;
        entry.second = nullptr;
    }
}

}  // namespace Backup
}  // namespace Orvana

#pragma once
// BackupPlugin: the plug-in's one service object.
//
// The host creates it through the manifest, calls init (plug-in folder),
// startup (dispatcher) and shutdown, then deletes it. Host threads call
// onMessage, which only queues; the service thread (run) takes one message at
// a time and dispatches it through m_processor, so handlers never run
// concurrently. The service owns at most one BackupActivity per target peer in
// m_workers, touched only on the service thread and by shutdown after that
// thread was joined. The destructor joins a service thread that is still
// running (no shutdown) and deletes every worker left in m_workers.

#include <Poco/Net/HTMLForm.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/AuthKey.h"
#include "hostapi/BackupLog.h"
#include "hostapi/Message.h"
#include "hostapi/PeerID.h"
#include "hostapi/Service.h"
#include "service/OpProcessor.h"

namespace Orvana {
namespace System {
class MessageDispatcher;
}
namespace Backup {

class BackupActivity;

class BackupPlugin : public Orvana::System::Service, public Poco::Runnable {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    typedef BackupDB::BackupRecordPtr RecordPtr;

    BackupPlugin();
    ~BackupPlugin() override;

    bool init(const std::string& pluginPath) override;
    const std::string& name() const override;
    bool startup(Orvana::System::MessageDispatcher* dispatcher) override;
    bool shutdown() override;
    void onMessage(const void* sender, MessagePtr& message) override;
    void run() override;

    // Backup control (engine side), run on the service thread.
    void initiatePeriodicSync();
    void doBackup();
    void backupRecord(RecordPtr record);
    void startBackupActivity(const Orvana::Data::PeerID& peer,
                             const std::vector<RecordPtr>& records);
    // Drops every queued copy of the record and ends its pass if one runs.
    void stopBackupAction(const int& id);
    // Ids of records waiting in a worker's queue (not the pass under way).
    std::set<int> queuedRecords() const;
    // Sends the host a failure notice (logged, never thrown, when it fails).
    void sendFailureNotice(const BackupDB::BACKUP_RECORD& record, const std::string& result,
                           const std::string& reason);
    // What a record's lateness counts from: its last success, else its first
    // stored run, else 0 (not late).
    Poco::Timestamp overdueSince(const BackupDB::BACKUP_RECORD& record);
    // Sends the overdue notice, once a day, for each record that is overdue.
    void noticeOverdue(const std::vector<RecordPtr>& records);
    // The peer's worker, or null; for tests.
    BackupActivity* workerFor(const Orvana::Data::PeerID& peer) const;
    bool isLocalPeer(const Orvana::Data::PeerID& peer);

    // For the embedding program and tests.
    boost::shared_ptr<BackupDB> database() const { return m_pDB; }

private:
    // The state of one web request inside the handler frame.
    struct WebRequest {
        WebRequest(MessagePtr& m, const char* name) : message(m), label(name) {}
        MessagePtr& message;
        Poco::Net::HTMLForm form;
        Orvana::Util::BackupLog log;  // the handler's lines and the frame's catch lines
        const char* label;     // the handler's qualified name, which starts its log lines
        std::string reply;     // sent at the end of the frame unless already sent
        bool replied = false;  // set by replyNow
    };
    typedef void (BackupPlugin::*WebBody)(WebRequest& request);

    // Runs the handler frame (source, role, profile, default reply, form,
    // catches, one reply) around body.
    void handleWebRequest(MessagePtr& message, const char* qualifiedName, WebBody body);
    void replyNow(WebRequest& request);  // sends request.reply now; the frame then sends nothing
    void stopWorkers(bool onlyRunning);

    bool onAuthentication(const MessagePtr& message, Orvana::Data::AuthKey::AuthRole minimum);
    bool onAuthentication(const MessagePtr& message, Orvana::Data::AuthKey::AuthSource minimum);
    // The timer and the host's events: source and role of the host itself;
    // traces the refusal.
    bool isFromHost(const MessagePtr& message, Orvana::Util::BackupLog& ls);

    void processRequests(MessagePtr& message);
    // Answers a web request for an operation the page may not call (unknown,
    // or one of the host's own) at once; false for any other message.
    bool refuseUnknownWebRequest(MessagePtr& message);
    void sendSyncResponse(const MessagePtr& request, const std::string& reply);
    void sendSyncHTMLResponse(const MessagePtr& request, const std::string& reply);
    void registerTimers();
    void registerEvents();

    // Handlers, in the operation table's order.
    void onTimer(const void* sender, MessagePtr& message);
    void onEventMessage(const void* sender, MessagePtr& message);
    void onAddBackupRecord(const void* sender, MessagePtr& message);
    void onSyncOneRecord(const void* sender, MessagePtr& message);
    void onSyncAllRecords(const void* sender, MessagePtr& message);
    void onDeleteBackupRecord(const void* sender, MessagePtr& message);
    void onStopBackupRecord(const void* sender, MessagePtr& message);
    void onGetAllBackupRecords(const void* sender, MessagePtr& message);
    void onEnableRecord(const void* sender, MessagePtr& message);
    void onDisableRecord(const void* sender, MessagePtr& message);
    void onSetModeValue(const void* sender, MessagePtr& message);
    void onGetActivity(const void* sender, MessagePtr& message);
    void onGetDefaultStoreLocation(const void* sender, MessagePtr& message);
    void onSetDefaultStoreLocation(const void* sender, MessagePtr& message);
    void onGetBackupFiles(const void* sender, MessagePtr& message);
    void onGetFileVersions(const void* sender, MessagePtr& message);
    void onRestoreFiles(const void* sender, MessagePtr& message);
    void onGetBackupStatus(const void* sender, MessagePtr& message);
    void onGetBackupSettings(const void* sender, MessagePtr& message);
    void onSetBackupSettings(const void* sender, MessagePtr& message);
    void onPreviewExcludes(const void* sender, MessagePtr& message);

    // Handler bodies run inside the frame.
    void addBackupRecordBody(WebRequest& request);
    void syncOneRecordBody(WebRequest& request);
    void syncAllRecordsBody(WebRequest& request);
    void deleteBackupRecordBody(WebRequest& request);
    void stopBackupRecordBody(WebRequest& request);
    void getAllBackupRecordsBody(WebRequest& request);
    void enableRecordBody(WebRequest& request);
    void disableRecordBody(WebRequest& request);
    void setModeValueBody(WebRequest& request);
    void getActivityBody(WebRequest& request);
    void getDefaultStoreLocationBody(WebRequest& request);
    void setDefaultStoreLocationBody(WebRequest& request);
    void getBackupFilesBody(WebRequest& request);
    void getFileVersionsBody(WebRequest& request);
    void restoreFilesBody(WebRequest& request);
    void getBackupStatusBody(WebRequest& request);
    void getBackupSettingsBody(WebRequest& request);
    void setBackupSettingsBody(WebRequest& request);
    void previewExcludesBody(WebRequest& request);

    Orvana::System::MessageDispatcher* m_pDispatcher;  // not owned; null until startup succeeds
    std::string m_name;
    boost::shared_ptr<BackupDB> m_pDB;
    Poco::Thread m_thread;
    Poco::NotificationQueue m_queue;
    std::atomic<bool> m_stop;
    std::map<Orvana::Data::PeerID, BackupActivity*> m_workers;  // owning; service thread only
    std::string m_pluginPath;
    std::string m_defaultStoreLocation;             // service thread only once started
    std::map<int, std::string> m_overdueNoticeDay;  // local day of the last notice; service thread
    OpProcessor m_processor;
};

}  // namespace Backup
}  // namespace Orvana

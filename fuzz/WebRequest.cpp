// Fuzzes the web request path: the handler frame and the twelve handlers,
// with a real database in a fresh temporary profile per input.
//
// Input: up to eight lines; each line's first byte picks the operation, the
// rest is its query string. Every request must get exactly one reply, and
// every reply must be a well-formed XML document.
//
// No input may touch files outside the temporary folder: every path field is
// moved below it before the request is sent, and the folder has no links, so
// a backup the input starts copies only from and into that folder.

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/NullChannel.h>
#include <Poco/Process.h>
#include <Poco/String.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostapi/HostControl.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "hostapi/PeerID.h"
#include "service/BackupMain.h"

namespace {

using Orvana::HostKit::HostControl;
typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;

const char* const OPERATIONS[] = {"addbackuprecord",
                                  "synconerecord",
                                  "syncallrecords",
                                  "deletebackuprecord",
                                  "stopbackup",
                                  "getallbackuprecs",
                                  "enablerecord",
                                  "disablerecord",
                                  "setmodevalue",
                                  "getactivity",
                                  "getdefaultstorelocation",
                                  "setdefaultstorelocation"};
const size_t OPERATION_COUNT = sizeof OPERATIONS / sizeof OPERATIONS[0];
const size_t MAX_REQUESTS = 8;
const long REPLY_TIMEOUT_MS = 60000;  // a slow sanitizer build, not a hang

const std::string& root() {
    // In memory where there is a tmpfs: every input creates a database, and
    // its flushes to a disk would bound the rate.
    static const std::string dir = (Poco::File("/dev/shm").isDirectory() ? "/dev/shm" : "/tmp") +
                                   std::string("/fuzz-web-request-") +
                                   std::to_string(Poco::Process::id());
    return dir;
}

void fail(const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "web request fuzzer: %s\n%s\n", what.c_str(), detail.c_str());
    std::abort();
}

// Moves a path value below `base`: an absolute path keeps its shape below it,
// a relative one becomes absolute there, and ".." can no longer climb out.
std::string confine(const std::string& value, const std::string& base) {
    std::string inside = value;
    Poco::replaceInPlace(inside, std::string(".."), std::string("__"));
    return base + (inside.empty() || inside[0] != '/' ? "/" : "") + inside;
}

// The query with every path field confined; as given when it does not parse
// (the frame then fails before any handler runs).
std::string confinedQuery(const std::string& query, const std::string& base) {
    Poco::Net::HTMLForm form;
    try {
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/form?" + query);
        form.load(request);
    } catch (...) {
        return query;
    }
    Poco::Net::HTMLForm confined;
    for (const auto& field : form) {
        const std::string& name = field.first;
        const bool isPath = name == "localpath" || name == "remotepath" || name == "storepath";
        confined.add(name, isPath ? confine(field.second, base) : field.second);
    }
    std::ostringstream out;
    confined.write(out);
    return out.str();
}

void checkWellFormed(const std::string& operation, const std::string& reply) {
    try {
        Poco::XML::DOMParser parser;
        Poco::AutoPtr<Poco::XML::Document> document = parser.parseString(reply);
    } catch (const Poco::Exception& e) {
        fail("the reply to " + operation + " is not well-formed XML: " + e.displayText(), reply);
    }
}

void setUpProfile(const std::string& dir) {
    HostControl::reset();
    Poco::File(dir + "/data").createDirectories();
    HostControl::setProfileRootDir(dir);
    HostControl::setProfileUserDataDir(dir + "/data");
    HostControl::setPeerID(Orvana::Data::PeerID("me@myhost"));
    HostControl::setLanguage("en");
    HostControl::setLoggedIn(true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Lines are formatted (their code runs) but not written: the fuzzer's
    // output would drown in them.
    Poco::AutoPtr<Poco::NullChannel> quiet(new Poco::NullChannel);
    Poco::Logger::root().setChannel(quiet);
    Poco::Logger::setChannel("", quiet);
    Poco::Logger::setLevel("", Poco::Message::PRIO_TRACE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::pair<std::string, std::string>> requests;  // operation, query
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < input.size() && requests.size() < MAX_REQUESTS;) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        if (end > start) {
            const unsigned char pick = static_cast<unsigned char>(input[start]);
            requests.emplace_back(OPERATIONS[pick % OPERATION_COUNT],
                                  input.substr(start + 1, end - start - 1));
        }
        start = end + 1;
    }
    if (requests.empty()) return 0;

    const std::string dir = root() + "/profile";
    Poco::File(root()).createDirectories();
    setUpProfile(dir);
    {
        Orvana::System::MessageDispatcher dispatcher;
        Orvana::HostKit::MessageRecorder recorder;
        dispatcher.setSink([&recorder](const MessagePtr& m) { recorder.record(m); });
        Orvana::Backup::BackupPlugin service;
        service.init(root() + "/no-plugin/");
        if (!service.startup(&dispatcher)) fail("the service did not start", dir);

        std::vector<std::string> tokens;
        for (size_t i = 0; i < requests.size(); ++i) {
            MessagePtr message(new Orvana::Data::Message("backup", requests[i].first));
            message->setAuthKey(Orvana::Data::AuthKey::host());
            (*message)["HTTPRequest"]["HTTPRequest"] = confinedQuery(requests[i].second, dir);
            const std::string token = "fuzz-" + std::to_string(i);
            (*message)["SyncProxyService"]["Token"] = token;
            tokens.push_back(token);
            dispatcher.sendMessage(message);
            MessagePtr reply = recorder.waitForReply(token, REPLY_TIMEOUT_MS);
            if (!reply) fail("no reply to " + requests[i].first, requests[i].second);
            checkWellFormed(requests[i].first, reply->getRawData());
        }
        // The stop waits for the service thread to take a message or a wake;
        // feeding it no-op messages meanwhile ends that wait at once instead
        // of after the stop's first 100 ms slice. After the join nothing can
        // send any more: count every reply.
        std::atomic<bool> stopped(false);
        std::thread waker([&] {
            while (!stopped) {
                MessagePtr nothing(new Orvana::Data::Message("backup", "no-operation"));
                service.onMessage(nullptr, nothing);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        service.shutdown();
        stopped = true;
        waker.join();
        for (size_t i = 0; i < tokens.size(); ++i) {
            int replies = 0;
            for (const MessagePtr& m : recorder.messages()) {
                if (m->getService() == "SyncProxyService" &&
                    (*m)["SyncProxyService"]["Token"].getString() == tokens[i])
                    ++replies;
            }
            if (replies != 1)
                fail(std::to_string(replies) + " replies to " + requests[i].first,
                     requests[i].second);
        }
        dispatcher.setSink(nullptr);
    }
    HostControl::reset();
    // The whole of it, not only the profile: a run may end after any input.
    Poco::File(root()).remove(true);
    return 0;
}

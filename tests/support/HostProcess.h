#pragma once
// HostProcess: the real backup-host program started on a free loopback port
// with a profile folder, driven over HTTP with the session token, and ended
// with a signal. Header-only so that host tests can share it. One test thread
// drives one object; the destructor kills a host that still runs.

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

class HostProcess {
public:
    static constexpr const char* TOKEN = "host-process-token";

    HostProcess(const std::string& profile, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--profile",       profile, "--port",      "0",
                                         "--token",         TOKEN,   "--log-level", "warning",
                                         "--reply-timeout", "20"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_handle.reset(new Poco::ProcessHandle(Poco::Process::launch(
            std::string(BACKUP_BUILD_DIR) + "/backup-host", args, nullptr, &m_out, nullptr)));
        Poco::PipeInputStream out(m_out);
        std::getline(out, m_banner);
        const auto colon = m_banner.find("127.0.0.1:");
        if (colon != std::string::npos) m_port = std::stoi(m_banner.substr(colon + 10));
    }
    ~HostProcess() {
        if (m_running) signal(SIGKILL);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    int port() const { return m_port; }

    // The body of a GET of the backup API; empty when the request failed.
    std::string api(const std::string& operation,
                    const std::map<std::string, std::string>& fields = {}) {
        std::string query;
        for (const auto& field : fields) {
            std::string value;
            Poco::URI::encode(field.second, "&=+?#/", value);
            query += (query.empty() ? "" : "&") + field.first + "=" + value;
        }
        try {
            Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(m_port));
            session.setTimeout(Poco::Timespan(60, 0));
            Poco::Net::HTTPRequest request(
                "GET", "/api/backup/" + operation + (query.empty() ? "" : "?" + query),
                Poco::Net::HTTPMessage::HTTP_1_1);
            request.set("X-Backup-Token", TOKEN);
            session.sendRequest(request);
            Poco::Net::HTTPResponse response;
            std::string body;
            Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
            return body;
        } catch (Poco::Exception&) {
            return std::string();
        }
    }

    // Sends the signal and waits for the exit; the exit code, 128 + signal
    // number for a killed host, -1 when it did not end in time.
    int signal(int number, int seconds = 30) {
        ::kill(m_handle->id(), number);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_handle->id(), &status, WNOHANG) == m_handle->id()) {
                m_running = false;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            Poco::Thread::sleep(5);
        }
        return -1;
    }

    // The text of the first <tag> element of a document; empty when absent.
    static std::string element(const std::string& doc, const std::string& tag) {
        const auto start = doc.find("<" + tag + ">");
        if (start == std::string::npos) return "";
        const auto end = doc.find("</" + tag + ">", start);
        return doc.substr(start + tag.size() + 2, end - start - tag.size() - 2);
    }

private:
    Poco::Pipe m_out;
    std::unique_ptr<Poco::ProcessHandle> m_handle;
    std::string m_banner;
    int m_port = 0;
    bool m_running = true;
};

}  // namespace TestSupport

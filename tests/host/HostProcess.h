#pragma once
// HostProcess: runs the real backup-host program for end-to-end tests. Host
// keeps one running on a free port in a given profile and talks HTTP to it;
// runToExit runs one that is expected to stop by itself and collects its
// error output. Used from the test's thread; Host::get may be called from
// several threads at once (each call opens its own session).

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace HostTest {

const std::string TOKEN = "e2e-token";

struct Reply {
    int status = 0;
    std::string contentType;
    std::string body;
};

// The value of the first <name>...</name> in a document.
inline std::string element(const std::string& doc, const std::string& name) {
    const std::string open = "<" + name + ">";
    const auto start = doc.find(open);
    if (start == std::string::npos) return "";
    const auto end = doc.find("</" + name + ">", start);
    return doc.substr(start + open.size(), end - start - open.size());
}

inline std::string hostProgram() { return std::string(BACKUP_BUILD_DIR) + "/backup-host"; }

// The exit status of child pid after up to `seconds`; -1 when it still runs.
inline int waitForExit(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        Poco::Thread::sleep(20);
    }
    return -1;
}

// One backup-host process on a free port in a temporary profile.
class Host {
public:
    explicit Host(const std::string& profile, std::vector<std::string> extra = {},
                  const Poco::Process::Env& env = {}) {
        std::vector<std::string> args = {"--profile", profile, "--port",      "0",
                                         "--token",   TOKEN,   "--log-level", "warning"};
        extra.insert(extra.end(), {"--reply-timeout", "20"});
        args.insert(args.end(), extra.begin(), extra.end());
        m_handle.reset(new Poco::ProcessHandle(
            Poco::Process::launch(hostProgram(), args, nullptr, &m_out, nullptr, env)));
        Poco::PipeInputStream out(m_out);
        std::getline(out, m_banner);
        const auto colon = m_banner.find("127.0.0.1:");
        if (colon != std::string::npos) m_port = std::stoi(m_banner.substr(colon + 10));
    }

    ~Host() {
        if (m_running) {
            ::kill(m_handle->id(), SIGKILL);
            waitExit(30);
        }
    }

    const std::string& banner() const { return m_banner; }
    int port() const { return m_port; }

    Reply get(const std::string& target, bool withToken = true, const std::string& hostHeader = "",
              int timeoutSeconds = 60) const {
        Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(m_port));
        session.setTimeout(Poco::Timespan(timeoutSeconds, 0));
        Poco::Net::HTTPRequest request("GET", target, Poco::Net::HTTPMessage::HTTP_1_1);
        if (withToken) request.set("X-Backup-Token", TOKEN);
        if (!hostHeader.empty()) request.setHost(hostHeader);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& in = session.receiveResponse(response);
        Reply reply;
        reply.status = response.getStatus();
        reply.contentType = response.getContentType();
        Poco::StreamCopier::copyToString(in, reply.body);
        return reply;
    }

    Reply api(const std::string& operation,
              const std::map<std::string, std::string>& fields = {}) const {
        std::string query;
        for (const auto& field : fields) {
            std::string value;
            Poco::URI::encode(field.second, "&=+?#/", value);
            query += (query.empty() ? "" : "&") + field.first + "=" + value;
        }
        return get("/api/backup/" + operation + (query.empty() ? "" : "?" + query));
    }

    // SIGTERM, then the exit code (-1 when it did not end in time).
    int terminate() {
        ::kill(m_handle->id(), SIGTERM);
        return waitExit(30);
    }

private:
    int waitExit(int seconds) {
        const int status = waitForExit(m_handle->id(), seconds);
        if (status != -1) m_running = false;
        return status;
    }

    Poco::Pipe m_out;
    std::unique_ptr<Poco::ProcessHandle> m_handle;
    std::string m_banner;
    int m_port = 0;
    bool m_running = true;
};

struct Exit {
    int code = -1;       // -1: it was still running after the wait and was killed
    std::string errors;  // everything it wrote to stderr
};

// Runs backup-host with args; waits up to `seconds` for it to end by itself.
inline Exit runToExit(const std::vector<std::string>& args, int seconds = 30) {
    Poco::Pipe errors;
    Poco::ProcessHandle handle =
        Poco::Process::launch(hostProgram(), args, nullptr, nullptr, &errors);
    Exit result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd fd{errors.readHandle(), POLLIN, 0};
    char buffer[512];
    // Reads until EOF (the program ended) or the deadline: a host that wrongly
    // starts must not hang the test.
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&fd, 1, 100) <= 0) continue;
        const int n = errors.readBytes(buffer, sizeof buffer);
        if (n <= 0) break;
        result.errors.append(buffer, static_cast<size_t>(n));
    }
    result.code = waitForExit(handle.id(), 5);
    if (result.code == -1) {
        ::kill(handle.id(), SIGKILL);
        waitForExit(handle.id(), 30);
    }
    return result;
}

}  // namespace HostTest

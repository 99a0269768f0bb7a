#pragma once
// HostProcess: the real backup-host on a free loopback port in a given
// profile, talked to over HTTP with its token, ended by a signal (killed by
// the destructor if still running). One test thread drives an object; get and
// api may be called from several threads (each call has its own session).

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/Thread.h>
#include <Poco/URI.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/XmlDocument.h"

namespace TestSupport {

class HostProcess {
public:
    static constexpr const char* TOKEN = "host-process-token";

    struct Reply {
        int status = 0;  // 0: no answer (the request failed)
        std::string contentType;
        std::string body;
    };
    struct Exit {
        int code = -1;  // 124: it was still running after the wait and was ended
        std::string out, err;
    };

    static std::string program() { return std::string(BACKUP_BUILD_DIR) + "/backup-host"; }

    // token "": none given, the host's own (read from its banner) is used.
    explicit HostProcess(const std::string& profile, std::vector<std::string> extra = {},
                         const Poco::Process::Env& env = {}, const std::string& token = TOKEN)
        : m_token(token) {
        std::vector<std::string> args = {"--profile",   profile,   "--port",          "0",
                                         "--log-level", "warning", "--reply-timeout", "20"};
        if (!token.empty()) args.insert(args.end(), {"--token", token});
        args.insert(args.end(), extra.begin(), extra.end());
        m_handle.reset(new Poco::ProcessHandle(
            Poco::Process::launch(program(), args, nullptr, &m_out, nullptr, env)));
        Poco::PipeInputStream out(m_out);
        std::getline(out, m_banner);
        const auto colon = m_banner.find("127.0.0.1:");
        if (colon != std::string::npos) m_port = std::stoi(m_banner.substr(colon + 10));
        EXPECT_GT(m_port, 0) << "the host did not start: " << m_banner;
        const auto shown = m_banner.find("?token=");
        if (m_token.empty() && shown != std::string::npos) m_token = m_banner.substr(shown + 7);
    }
    ~HostProcess() {
        if (m_running) signal(SIGKILL);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    const std::string& banner() const { return m_banner; }
    int port() const { return m_port; }
    const std::string& token() const { return m_token; }

    Reply get(const std::string& target, bool withToken = true, const std::string& hostHeader = "",
              int timeoutSeconds = 60) const {
        return send("GET", target, "", "", withToken, hostHeader, timeoutSeconds);
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

    // A request with a body; method "POST" unless given.
    Reply post(const std::string& target, const std::string& body = "",
               const std::string& contentType = "", const std::string& method = "POST",
               bool withToken = true) const {
        return send(method, target, body, contentType, withToken, "", 30);
    }

    // Adds a record backing source up to the folder target (no schedule) and
    // returns its id; "<missing>" (and a test failure) when it was refused.
    std::string addRecord(const std::string& source, const std::string& target) const {
        const Reply added = api(
            "addbackuprecord", {{"localpath", source}, {"remotepath", target}, {"frequency", "0"}});
        EXPECT_EQ("true", element(added.body, "success")) << added.body;
        return element(api("getallbackuprecs").body, "recid");
    }

    // The device id (fingerprint) of a profile, made at the first use.
    static std::string deviceId(const std::string& profile) {
        const Exit run = runToExit({"--profile", profile, "--device-id"});
        EXPECT_EQ(0, run.code) << run.err;
        return Poco::trim(run.out);
    }

    // Sends the signal and waits; the exit code, 128 + signal number for a
    // killed host, -1 when it did not end in time.
    int signal(int number, int seconds = 30) {
        ::kill(m_handle->id(), number);
        const int status = waitForExit(m_handle->id(), seconds);
        if (status != -1) m_running = false;
        return status;
    }
    int terminate() { return signal(SIGTERM); }
    pid_t pid() const { return m_handle->id(); }

    // Runs backup-host with args; waits up to `seconds` for it to end by itself.
    static Exit runToExit(const std::vector<std::string>& args, int seconds = 30) {
        // timeout(1) ends a host that wrongly starts, so the reads cannot hang.
        std::vector<std::string> command = {std::to_string(seconds), program()};
        command.insert(command.end(), args.begin(), args.end());
        Poco::Pipe out, err;
        Poco::ProcessHandle handle =
            Poco::Process::launch("/usr/bin/timeout", command, nullptr, &out, &err);
        Exit result;
        Poco::PipeInputStream outStream(out), errStream(err);
        Poco::StreamCopier::copyToString(outStream, result.out);
        Poco::StreamCopier::copyToString(errStream, result.err);
        result.code = handle.wait();
        return result;
    }

private:
    Reply send(const std::string& method, const std::string& target, const std::string& body,
               const std::string& contentType, bool withToken, const std::string& hostHeader,
               int timeoutSeconds) const {
        Reply reply;
        try {
            Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(m_port));
            session.setTimeout(Poco::Timespan(timeoutSeconds, 0));
            Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
            if (withToken) request.set("X-Backup-Token", m_token);
            if (!hostHeader.empty()) request.setHost(hostHeader);
            if (!contentType.empty()) request.setContentType(contentType);
            if (method != "GET")
                request.setContentLength(static_cast<std::streamsize>(body.size()));
            session.sendRequest(request) << body;
            Poco::Net::HTTPResponse response;
            std::istream& in = session.receiveResponse(response);
            reply.status = response.getStatus();
            reply.contentType = response.getContentType();
            Poco::StreamCopier::copyToString(in, reply.body);
        } catch (Poco::Exception&) {
            reply = Reply();
        }
        return reply;
    }

    static int waitForExit(pid_t pid, int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            Poco::Thread::sleep(5);
        }
        return -1;
    }

    Poco::Pipe m_out;
    std::unique_ptr<Poco::ProcessHandle> m_handle;
    std::string m_banner;
    std::string m_token;
    int m_port = 0;
    bool m_running = true;
};

}  // namespace TestSupport

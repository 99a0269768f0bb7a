#include "host/DevicesHandler.h"

#include "host/PairedDevices.h"
#include "host/PeerConnector.h"
#include "host/TextResponseHandler.h"
#include "hostapi/ProfileManager.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <future>
#include <sstream>
#include <vector>

namespace Orvana {
namespace Host {

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

namespace {

void sendJson(Poco::Net::HTTPServerResponse& response, HTTPResponse::HTTPStatus status,
              const std::string& json) {
    response.setStatus(status);
    response.setContentType("application/json; charset=utf-8");
    response.set("Cache-Control", "no-store");
    response.sendBuffer(json.data(), json.size());
}

void sendError(Poco::Net::HTTPServerResponse& response, HTTPResponse::HTTPStatus status,
               const std::string& text) {
    Poco::JSON::Object json;
    json.set("error", text);
    std::ostringstream out;
    json.stringify(out);
    sendJson(response, status, out.str());
}

}  // namespace

DevicesHandler::DevicesHandler(const HostContext& context) : m_context(context) {}

std::string DevicesHandler::document() const {
    Poco::JSON::Array::Ptr list(new Poco::JSON::Array);
    if (m_context.devices) {
        const std::vector<PairedDevice> devices = m_context.devices->list();
        std::vector<std::future<bool>> probes;
        for (const PairedDevice& device : devices) {
            PeerConnector* connector = m_context.connector;
            const Orvana::Data::PeerID peer = device.peer;
            probes.push_back(std::async(std::launch::async, [connector, peer] {
                return connector && connector->reachable(peer);
            }));
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            Poco::JSON::Object::Ptr entry(new Poco::JSON::Object);
            entry->set("peer", devices[i].peer.toString());
            entry->set("fingerprint", devices[i].fingerprint);
            entry->set("address", devices[i].address);
            entry->set("reachable", probes[i].get());
            list->add(entry);
        }
    }
    Poco::JSON::Object json;
    json.set("fingerprint", m_context.deviceFingerprint);
    json.set("peer", Orvana::API::ProfileManager::getPeerID().toString());
    json.set("port", m_context.peerPort);
    json.set("devices", list);
    std::ostringstream out;
    json.stringify(out);
    return out.str();
}

void DevicesHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                   Poco::Net::HTTPServerResponse& response) {
    if (request.getMethod() == HTTPRequest::HTTP_GET) {
        sendJson(response, HTTPResponse::HTTP_OK, document());
        return;
    }
    if (request.getMethod() != HTTPRequest::HTTP_POST) {
        TextResponseHandler::send(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                                  "Method not allowed");
        return;
    }
    if (!m_context.devices) {
        sendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                  "This device has no identity for pairing");
        return;
    }
    // The fields come in the query; a body is not read.
    Poco::Net::HTMLForm form;
    form.load(request);
    const std::string action = form.get("action", "");
    const Orvana::Data::PeerID peer(form.get("peer", ""));
    if (!peer.isValid()) {
        sendError(response, HTTPResponse::HTTP_BAD_REQUEST, "Not a device (user@host)");
        return;
    }
    if (action == "remove") {
        if (!m_context.devices->remove(peer)) {
            sendError(response, HTTPResponse::HTTP_NOT_FOUND, "This device is not paired");
            return;
        }
        Poco::Logger::get("host").information("Removed the device " + peer.toString());
    } else if (action == "add") {
        const std::string address = form.get("address", "");
        if (!address.empty() && PairedDevices::normalizeAddress(address).empty()) {
            sendError(response, HTTPResponse::HTTP_BAD_REQUEST, "Not an address (host:port)");
            return;
        }
        try {
            m_context.devices->trust(peer, form.get("fingerprint", ""));
        } catch (Poco::InvalidArgumentException& e) {
            sendError(response, HTTPResponse::HTTP_BAD_REQUEST,
                      e.message().find("already") != std::string::npos
                          ? "This fingerprint belongs to another paired device"
                          : "Not a fingerprint (64 hex digits)");
            return;
        }
        if (!address.empty()) m_context.devices->setAddress(peer, address);
        Poco::Logger::get("host").information("Paired the device " + peer.toString());
    } else {
        sendError(response, HTTPResponse::HTTP_BAD_REQUEST, "Unknown action");
        return;
    }
    sendJson(response, HTTPResponse::HTTP_OK, document());
}

}  // namespace Host
}  // namespace Orvana

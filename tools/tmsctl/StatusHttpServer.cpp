#include "tools/tmsctl/StatusHttpServer.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tools/tmsctl/ChannelSnapshots.h"
#include "tools/tmsctl/StatusJson.h"
#include "tools/tmsctl/StatusPage.h"

namespace tmsctl {

namespace {

// As tmsctl watch: long enough for a writer to finish one publication,
// short enough for a page that asks ten times a second.
constexpr unsigned kMutexTimeoutMs = 50;

// Texts come from shared memory: whatever a writer left there must not
// stop the answer.
std::string JsonText(const nlohmann::json& j) {
    return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One reading of the channels and of the RTS outputs per request.
nlohmann::json AllChannelsJson() {
    CChannelSnapshots all(-1);
    const std::vector<ChannelSnapshot> taken = all.Take(kMutexTimeoutMs);
    const CRtsOutputsReader rts;
    return ChannelsJson(taken, rts, kMutexTimeoutMs, SystemPublisherProbe());
}

void SendJson(httplib::Response& res, const nlohmann::json& j) {
    res.set_content(JsonText(j), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    SendJson(res, {{"error", message}});
}

// 0 to 15 written as plain decimal digits, else -1.
int ChannelNumber(const std::string& text) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const int n = std::stoi(text);
    return n < statusmem::kMaxChannels ? n : -1;
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw std::invalid_argument("'" + text + "' is not HOST:PORT");
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            throw std::invalid_argument("'" + text + "' is not HOST:PORT ([ without ])");
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        throw std::invalid_argument("'" + text + "': write an IPv6 host in brackets, [::1]:PORT");
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        throw std::invalid_argument("'" + port + "' in '" + text + "' is not a port (0-65535)");
    }
    return ListenAddress{host, std::stoi(port)};
}

CStatusHttpServer::CStatusHttpServer() {
    Routes();
}

void CStatusHttpServer::Routes() {
    // Read-only: nothing here changes a channel, and no other method is taken.
    m_server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_header("Allow", "GET");
        SendError(res, 405, "method " + req.method + " refused: this server only reads (GET)");
        return httplib::Server::HandlerResponse::Handled;
    });
    m_server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
    });
    m_server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(StatusPageHtml(JsonText(AllChannelsJson())), "text/html; charset=utf-8");
    });
    m_server.Get("/api/channels", [](const httplib::Request&, httplib::Response& res) {
        SendJson(res, AllChannelsJson());
    });
    m_server.Get(R"(/api/channels/(.*))", [](const httplib::Request& req, httplib::Response& res) {
        const std::string text = req.matches[1].str();
        const int channel = ChannelNumber(text);
        if (channel < 0) {
            SendError(res, 404, "'" + text + "' is not a channel (0-15)");
            return;
        }
        CChannelSnapshots one(channel);
        const std::vector<ChannelSnapshot> taken = one.Take(kMutexTimeoutMs);
        const CRtsOutputsReader rts;
        SendJson(res, ChannelJson(taken.front(), OutputsOf(taken.front(), rts), kMutexTimeoutMs,
                                  SystemPublisherProbe()));
    });
    m_server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) {
            SendError(res, 404, "no such page: " + req.path);
        }
    });
    m_server.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr e) {
            std::string what = "unknown error";
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                what = x.what();
            } catch (...) {
            }
            SendError(res, 500, "reading the status for " + req.path + " failed: " + what);
        });
}

int CStatusHttpServer::Bind(const ListenAddress& address) {
    const int port = address.port == 0
                         ? m_server.bind_to_any_port(address.host)
                         : (m_server.bind_to_port(address.host, address.port) ? address.port : -1);
    if (port < 0) {
        throw std::runtime_error("cannot listen on " + address.host + ":" +
                                 std::to_string(address.port) +
                                 " (in use, or not an address here)");
    }
    return port;
}

bool CStatusHttpServer::Run() {
    const bool served = m_server.listen_after_bind();
    m_ended = true;
    return served;
}

void CStatusHttpServer::Stop() {
    // Once running, one stop closes the listening socket and Run returns;
    // a second would find the socket gone. Before that, a stop is lost, so
    // wait for one of the two (Run is called right after Bind).
    while (!m_ended) {
        if (m_server.is_running()) {
            m_server.stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace tmsctl

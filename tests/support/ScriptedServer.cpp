// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/ScriptedServer.h"

#include "client/net/HttpExchange.h"

namespace kestrane::test {

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    auto serve = [this](const httplib::Request& req, httplib::Response& res) {
        SeenRequest seen;
        seen.method = req.method;
        seen.target = req.target;
        seen.userAgent = req.get_header_value("User-Agent");
        seen.acceptLanguage = req.get_header_value("Accept-Language");
        seen.contentType = req.get_header_value("Content-Type");
        seen.cookie = req.get_header_value("Cookie");
        seen.body = req.body;
        seen.remotePort = req.remote_port;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(seen);
        }
        handler_(req, res);
    };
    server_.Get(".*", serve);
    server_.Post(".*", serve);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the loop runs would be lost and leave the thread serving forever.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ScriptedServer::~ScriptedServer() {
    Release();
    server_.stop();
    thread_.join();
}

std::vector<SeenRequest> ScriptedServer::Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void ScriptedServer::Hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return released_; });
}

void ScriptedServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

}  // namespace kestrane::test

// SPDX-License-Identifier: GPL-3.0-or-later
// A loopback HTTP server whose every answer the test writes itself, for pages
// and misbehaviour the stand-in publication server has no reason to produce.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrane::test {

struct SeenRequest {
    std::string method;
    std::string target;  // path and query as the server parsed them
    std::string userAgent;
    std::string acceptLanguage;
    std::string contentType;
    std::string cookie;
    std::string body;
    int remotePort = 0;
};

class ScriptedServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit ScriptedServer(Handler handler);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }
    std::vector<SeenRequest> Seen() const;

    // A handler may call Hold() to stay silent until Release() (or the end of the test).
    void Hold();
    void Release();

  private:
    httplib::Server server_;
    Handler handler_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;          // guarded by mutex_
    std::vector<SeenRequest> seen_;  // guarded by mutex_
};

}  // namespace kestrane::test

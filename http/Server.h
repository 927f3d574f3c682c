#pragma once

#include "service/BoardHost.h"
#include "service/Executor.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

// Every held board from a browser, a phone or another machine's scripts: one HTTP server for
// all of them (a page, a JSON API, server-sent events and a WebSocket), on a thread of its own,
// so that no client ever waits on a board's sequencer and no tick waits on a client.
namespace http {

using Log = std::function<void(const std::string& line)>;

// Where to listen: "[ADDR:]PORT", the address 127.0.0.1 when left out ("[::1]:8080" for IPv6).
struct Listen {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
};
std::variant<Listen, std::string> parseListen(const std::string& text);

struct Settings {
    Listen listen;
    std::string token;
    std::string certFile; // both, or neither: TLS
    std::string keyFile;
    std::string programsDir; // the files a client may play by name
    std::size_t streamsPerBoard = 64;
};

class Server {
public:
    // Listening, or why it cannot (a certificate that cannot be read, a port taken).
    static std::variant<std::unique_ptr<Server>, std::string> make(Settings settings, Log log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The page's address with the token, as serve logs it once.
    std::string pageAddress() const;
    std::uint16_t port() const;

    // The board, served while the front end lives; it must be let go before the server.
    std::unique_ptr<service::FrontEnd> serve(service::Executor& executor);

    struct Engine;
    struct Board;
    struct Thread;

private:
    struct Key {
        explicit Key() = default;
    };

public:
    Server(Key, Settings settings, Log log);

private:
    std::unique_ptr<Thread> thread_;
    Settings settings_;
    Log log_;
    std::string failure_;
    std::uint16_t port_ = 0;
};

} // namespace http

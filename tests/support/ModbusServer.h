#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _modbus;
struct _modbus_mapping_t;

// A Modbus relay board played by libmodbus's own server in a thread of the test: RTU behind the
// far end of a pseudo-terminal, or TCP on 127.0.0.1. It keeps every request it took, and can be
// made slow, made to answer with an exception, or taken away.
class ModbusServer {
public:
    struct Request {
        int function = 0; // 1 read coils, 15 write coils, ...
        int first = 0;
        int count = 0;
        // When its last byte was taken: paced as on the line (paceAt), else when it was read.
        std::chrono::steady_clock::time_point taken{};
    };

    enum class Kind { Rtu, Tcp };

    static std::unique_ptr<ModbusServer> rtu(int address = 1, int coils = 8);
    // `port` 0: a free one.
    static std::unique_ptr<ModbusServer> tcp(int coils = 8, int port = 0);
    // Use rtu() or tcp(): this one has coils and no line yet.
    ModbusServer(Kind kind, int coils);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // What a board's device setting is to reach it: the pseudo-terminal's path or
    // tcp://127.0.0.1:PORT. Empty when the server could not be set up.
    std::string device() const { return device_; }

    std::vector<Request> requests() const;
    void forgetRequests();
    // Coil n is bit n.
    std::uint8_t coils() const;
    void setCoils(std::uint8_t coils);
    // Each answer waits this long before it is sent.
    void answerAfter(std::chrono::milliseconds delay);
    // The line at this rate (10 bits a byte), as a real one makes a request last: the request's
    // bytes, the 3.5 characters of silence that end it, the answer's bytes, and 3.5 more before
    // the line carries the next request, which waits for them; 0: no pacing.
    void paceAt(int baud);
    // Every request is answered with this exception code (0: answered as it should be).
    void answerWithException(int code);
    // Silent, it takes every request and answers none, as a wedged board.
    void setSilent(bool silent);
    // Waits until this many answers were sent in all (at most a few seconds); whether they were.
    bool waitForAnswers(int count);
    // TCP: closes the connection of the moment, as an idle gateway does, and returns when it is
    // closed; the server stays.
    void dropConnection();
    // The board is gone: the pseudo-terminal's far end is closed, the TCP server stops.
    void stop();

private:
    bool startRtu(int address);
    bool startTcp(int port);
    void serve();
    bool takeConnection();
    void answer(const std::uint8_t* query, int length);

    const Kind kind_;
    _modbus* context_ = nullptr;
    _modbus_mapping_t* mapping_ = nullptr; // guarded by lock_
    int farEnd_ = -1;                      // RTU: the pseudo-terminal's master
    int nearEnd_ = -1;                     // RTU: its slave, kept open while the server runs
    int listening_ = -1;                   // TCP
    int connection_ = -1;                  // TCP, the server thread's own
    std::string device_;

    mutable std::mutex lock_;
    std::condition_variable answered_; // an answer sent, a connection dropped
    std::vector<Request> requests_;
    std::chrono::milliseconds delay_{0};
    int exception_ = 0;
    bool silent_ = false;
    int baud_ = 0;
    std::chrono::steady_clock::time_point lineFreeAt_{}; // the server thread's own
    int answers_ = 0;
    std::atomic<bool> drop_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

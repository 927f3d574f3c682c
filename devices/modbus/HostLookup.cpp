#include "devices/modbus/HostLookup.h"

#include <future>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace devices::modbus {

namespace {

Result<std::string> resolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0)
        return Failure{Failure::Kind::Gone,
                       "cannot find the host " + host + ": " + ::gai_strerror(rc)};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    char numeric[NI_MAXHOST] = {};
    if (::getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return Failure{Failure::Kind::Io, "cannot write the address of " + host};
    return std::string(numeric);
}

} // namespace

Result<std::string> lookUpHost(const std::string& host, std::chrono::milliseconds within) {
    auto answer = std::make_shared<std::promise<Result<std::string>>>();
    std::future<Result<std::string>> future = answer->get_future();
    std::thread([answer, host] { answer->set_value(resolve(host)); }).detach();
    if (future.wait_for(within) != std::future_status::ready)
        return Failure{Failure::Kind::NoAnswer, "no answer from the name service for " + host +
                                                    " within " + std::to_string(within.count()) +
                                                    " ms"};
    return future.get();
}

} // namespace devices::modbus

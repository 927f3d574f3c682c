#include "devices/modbus/HostLookup.h"

#include <future>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace devices::modbus {

namespace {

Result<std::vector<std::string>> resolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0)
        return Failure{Failure::Kind::Gone,
                       "cannot find the host " + host + ": " + ::gai_strerror(rc)};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    std::vector<std::string> addresses;
    for (const addrinfo* each = found; each; each = each->ai_next) {
        char numeric[NI_MAXHOST] = {};
        if (::getnameinfo(each->ai_addr, each->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                          NI_NUMERICHOST) == 0)
            addresses.emplace_back(numeric);
    }
    if (addresses.empty())
        return Failure{Failure::Kind::Gone, "no address for the host " + host};
    return addresses;
}

} // namespace

Result<std::vector<std::string>> lookUpHost(const std::string& host,
                                            std::chrono::milliseconds within) {
    auto answer = std::make_shared<std::promise<Result<std::vector<std::string>>>>();
    std::future<Result<std::vector<std::string>>> future = answer->get_future();
    std::thread([answer, host] { answer->set_value(resolve(host)); }).detach();
    if (future.wait_for(within) != std::future_status::ready)
        return Failure{Failure::Kind::NoAnswer, "no answer from the name service for " + host +
                                                    " within " + std::to_string(within.count()) +
                                                    " ms"};
    return future.get();
}

} // namespace devices::modbus

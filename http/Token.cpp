#include "http/Token.h"

#include "service/StartAndExit.h"

#include <QRandomGenerator>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace http {

namespace {

constexpr std::size_t kTokenBytes = 16;
constexpr std::size_t kMaxTokenFileBytes = 1024;

std::string freshToken() {
    std::array<quint32, kTokenBytes / sizeof(quint32)> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const quint32 word : words)
        for (int shift = 28; shift >= 0; shift -= 4)
            text += kHex[(word >> shift) & 0xF];
    return text;
}

// The first line, without its line end; nothing when the file cannot be read.
std::variant<std::string, int> readFirstLine(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    std::string text(kMaxTokenFileBytes, '\0');
    const ssize_t got = ::read(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    if (got < 0)
        return error;
    text.resize(static_cast<std::size_t>(got));
    text = text.substr(0, text.find_first_of("\r\n"));
    return text;
}

std::variant<Token, std::string> tokenIn(const std::string& path, const std::string& text) {
    if (text.empty() || text.find_first_of(" \t\"\\;,") != std::string::npos ||
        text.size() >= kMaxTokenFileBytes)
        return "the token file " + path + " does not hold a token on its first line";
    return Token{text, false};
}

// Written beside the file and linked into place, which fails rather than replaces when a file
// is there: the token another start made first wins, and nobody ever reads half a token.
std::variant<Token, std::string> makeToken(const std::string& path) {
    if (const std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        service::makeFolders(path.substr(0, slash)); // a failure shows as the file's
    const std::string temporary = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return "cannot make the token file " + path + ": " + std::strerror(errno);
    const std::string text = freshToken();
    const std::string line = text + '\n';
    const bool written =
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
        ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    const bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (!written)
        return "cannot write the token file " + path + ": " + std::strerror(error);
    if (!linked && linkError == EEXIST) {
        const std::variant<std::string, int> theirs = readFirstLine(path);
        if (const auto* failure = std::get_if<int>(&theirs))
            return "cannot read the token file " + path + ": " + std::strerror(*failure);
        return tokenIn(path, std::get<std::string>(theirs));
    }
    if (!linked)
        return "cannot make the token file " + path + ": " + std::strerror(linkError);
    return Token{text, true};
}

} // namespace

std::string defaultTokenPath() {
    return service::stateFolder() + "/http-token";
}

std::variant<Token, std::string> loadOrMakeToken(const std::string& path) {
    const std::variant<std::string, int> line = readFirstLine(path);
    if (const auto* text = std::get_if<std::string>(&line))
        return tokenIn(path, *text);
    if (std::get<int>(line) != ENOENT)
        return "cannot read the token file " + path + ": " + std::strerror(std::get<int>(line));
    return makeToken(path);
}

bool sameToken(std::string_view given, std::string_view token) {
    // Every byte of the longer one is looked at, whichever differs first.
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    const std::size_t length = std::max(given.size(), token.size());
    for (std::size_t i = 0; i < length; ++i) {
        const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
        const auto b = static_cast<unsigned char>(i < token.size() ? token[i] : 0);
        differ = static_cast<unsigned char>(differ | (a ^ b));
    }
    return differ == 0;
}

} // namespace http

#include "model/SafeFile.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace safefile {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

Failure systemFailure(int error) {
    return Failure{error, std::strerror(error)};
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, so that a failing close can be reported.
    int release() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// Writes every byte at `offset` onwards, or returns the errno of the write that failed.
int writeEverything(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// The kernel's protected-symlinks rule: in a sticky, world-writable folder a link is followed only
// when it belongs to the follower or to the folder's owner.
bool mayFollowLink(const std::string& link, const struct stat& linkStat) {
    struct stat folder {};
    if (::stat(folderOf(link).c_str(), &folder) != 0)
        return false;
    const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !shared || linkStat.st_uid == ::geteuid() || linkStat.st_uid == folder.st_uid;
}

// Where a link points, even when its target does not exist yet.
std::string linkTarget(const std::string& link) {
    if (char* resolved = ::realpath(link.c_str(), nullptr)) {
        std::string target(resolved);
        std::free(resolved);
        return target;
    }
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return link;
    std::string target(buffer.data(), static_cast<std::size_t>(n));
    if (target.front() != '/')
        target = folderOf(link) + '/' + target;
    return target;
}

// A fresh file beside `target`, created with the mode a new file would get. Returns its
// descriptor and name, or -1 with errno set.
std::pair<int, std::string> createTemporaryBeside(const std::string& target) {
    std::string base = nameOf(target).substr(0, 200);
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto seed = static_cast<unsigned long long>(now.tv_nsec) ^
                (static_cast<unsigned long long>(::getpid()) << 20);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, ".%08llx", (seed >> 32) & 0xffffffffULL);
        std::string name = folderOf(target) + "/." + base + suffix;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return {fd, std::move(name)};
    }
    errno = EEXIST;
    return {-1, {}};
}

// The folder refused a new file: the old one is overwritten where it stands. Its space is
// reserved first, so a full disk is found before a byte of the old content is touched.
std::optional<Failure> overwriteInPlace(const std::string& target, std::string_view bytes) {
    Descriptor file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0)
        return systemFailure(errno);
    if (!bytes.empty() &&
        ::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes.size())) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return systemFailure(errno);
    if (const int error = writeEverything(file.get(), bytes))
        return systemFailure(error);
    if (::ftruncate(file.get(), static_cast<off_t>(bytes.size())) != 0 || ::fsync(file.get()) != 0)
        return systemFailure(errno);
    if (file.release() != 0)
        return systemFailure(errno);
    return std::nullopt;
}

void syncFolder(const std::string& folder) {
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

} // namespace

// ---- InputFile -------------------------------------------------------------------------------

InputFile InputFile::open(const std::string& path, std::uint64_t maxBytes) {
    InputFile file;
    file.maxBytes_ = maxBytes;
    // Non-blocking, so that opening a FIFO with no writer returns at once instead of waiting.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        file.failure_ = systemFailure(errno);
        return file;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        file.failure_ = systemFailure(errno);
        ::close(fd);
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.failure_ = Failure{0, "not a regular file"};
        ::close(fd);
        return file;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > maxBytes) {
        file.failure_ = Failure{EFBIG, "the file is " + std::to_string(size) +
                                           " bytes, more than the limit of " +
                                           std::to_string(maxBytes) + " bytes"};
        ::close(fd);
        return file;
    }
    file.fd_ = fd;
    return file;
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1))
    , maxBytes_(other.maxBytes_)
    , failure_(std::move(other.failure_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        maxBytes_ = other.maxBytes_;
        failure_ = std::move(other.failure_);
    }
    return *this;
}

InputFile::~InputFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool InputFile::readAll(const std::function<void(std::string_view)>& consume) {
    if (fd_ < 0)
        return false;
    std::string buffer(kChunk, '\0');
    std::uint64_t total = 0;
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failure_ = systemFailure(errno);
            return false;
        }
        if (n == 0)
            return true;
        total += static_cast<std::uint64_t>(n);
        offset += n;
        if (total > maxBytes_) {
            failure_ = Failure{EFBIG, "the file grew past the limit of " +
                                          std::to_string(maxBytes_) + " bytes while being read"};
            return false;
        }
        consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
}

std::string InputFile::readPrefix(std::size_t count) {
    std::string bytes;
    if (fd_ < 0)
        return bytes;
    bytes.resize(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, bytes.data() + done, count - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failure_ = systemFailure(errno);
            return {};
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

// ---- writing ---------------------------------------------------------------------------------

Destination inspectDestination(const std::string& path) {
    Destination destination;
    destination.target = path;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return destination; // absent (or unreachable: the write will say why)
    if (S_ISLNK(info.st_mode)) {
        if (!mayFollowLink(path, info)) {
            destination.untrustedLink = true;
            destination.refusal =
                Failure{EACCES, "a symbolic link owned by another user in a shared folder"};
            return destination;
        }
        destination.target = linkTarget(path);
        if (::stat(destination.target.c_str(), &info) != 0)
            return destination;
    }
    destination.exists = true;
    if (!S_ISREG(info.st_mode))
        destination.refusal = Failure{0, "not a regular file"};
    return destination;
}

std::optional<Failure> replaceFile(const std::string& path, std::string_view bytes) {
    return replaceFile(inspectDestination(path), bytes);
}

std::optional<Failure> replaceFile(const Destination& destination, std::string_view bytes) {
    if (destination.refusal)
        return destination.refusal;
    const std::string& target = destination.target;
    struct stat old {};
    const bool replacing = destination.exists && ::stat(target.c_str(), &old) == 0;

    auto [fd, temporary] = createTemporaryBeside(target);
    if (fd < 0) {
        const int error = errno;
        if (replacing && (error == EACCES || error == EPERM || error == EROFS))
            return overwriteInPlace(target, bytes);
        return systemFailure(error);
    }
    Descriptor file(fd);
    const auto abandon = [&temporary](int error) {
        ::unlink(temporary.c_str());
        return systemFailure(error);
    };
    if (replacing) {
        // The new file keeps the old one's owner, group and mode where this process may set them.
        if (::fchown(file.get(), old.st_uid, old.st_gid) != 0)
            (void)::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid);
        ::fchmod(file.get(), old.st_mode & 07777);
    }
    if (const int error = writeEverything(file.get(), bytes))
        return abandon(error);
    // A full disk may only show when the data reach it, so the flush is checked too.
    if (::fsync(file.get()) != 0)
        return abandon(errno);
    if (file.release() != 0)
        return abandon(errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return abandon(errno);
    syncFolder(folderOf(target));
    return std::nullopt;
}

} // namespace safefile

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Reading and replacing the program's files (labels.dat and program files) so that a save never
// loses the file it replaces and a read never blocks or runs away.
namespace safefile {

// Why a read or a write did not happen; empty when it did.
struct Failure {
    int error = 0;      // errno, or 0 for the reasons below that have none
    std::string reason; // for the user: "No space left on device", "not a regular file"
};

// A regular file opened for reading. Opening never blocks: a FIFO, a device or a folder is
// refused before anything is read from it.
class InputFile {
public:
    // The file, or why it cannot be read. A file larger than maxBytes is refused too.
    static InputFile open(const std::string& path, std::uint64_t maxBytes);

    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    bool isOpen() const { return fd_ >= 0; }
    const Failure& failure() const { return failure_; }

    // Hands the file's bytes, from its start, to `consume` in chunks. Stops with a failure when a
    // read fails or the file has grown past maxBytes since it was opened.
    bool readAll(const std::function<void(std::string_view chunk)>& consume);
    // The file's first bytes, at most `count` of them; empty with a failure when the read fails.
    std::string readPrefix(std::size_t count);

private:
    InputFile() = default;

    int fd_ = -1;
    std::uint64_t maxBytes_ = 0;
    Failure failure_;
};

// What a path that is about to be replaced is, looked at without following a final symbolic link
// blindly: where the bytes would go and whether they may go there.
struct Destination {
    std::string target;             // the file that gets replaced (a link's target when followed)
    bool exists = false;            // the target exists
    bool untrustedLink = false;     // a link the kernel's protected-symlinks rule would not follow
    std::optional<Failure> refusal; // why the path must not be written, if it must not
};

Destination inspectDestination(const std::string& path);

// Replaces the file at `path` with `bytes`. The new content goes to a temporary file in the same
// folder, is flushed to the disk and checked, and only then renamed over the old file, which keeps
// its owner, group and mode; on any failure the old file stays exactly as it was. When the folder
// refuses the temporary file, an existing writable file is overwritten in place, with its space
// reserved first. A symbolic link is followed only where the kernel's protected-symlinks rule
// would follow it. Returns the failure, if any.
std::optional<Failure> replaceFile(const std::string& path, std::string_view bytes);
// The same, for a destination already inspected.
std::optional<Failure> replaceFile(const Destination& destination, std::string_view bytes);

} // namespace safefile

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Program files a client may name instead of sending their text: only files directly in the
// folder the holder was given (--programs), never anything outside it.
namespace service {

// Whether a text may name a file in the programs folder: one line, no "/", not "." or "..", no
// zero byte; so that a name never reaches outside the folder.
bool isProgramName(std::string_view name);

class ProgramFolder {
public:
    explicit ProgramFolder(std::string folder = {});
    bool isSet() const { return !folder_.empty(); }
    const std::string& path() const { return folder_; }
    // The text of the named program (at most a program file's size), or nothing when the name
    // is not one, or names no readable file there, or a link to a file outside the folder.
    std::optional<std::string> read(std::string_view name) const;
    // The programs there by name: the files directly in the folder that stay inside it.
    std::vector<std::string> names() const;

private:
    std::string folder_;
};

} // namespace service

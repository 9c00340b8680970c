// A scratch folder for one test, removed with everything in it when the test is done with it.
#pragma once

#include <string>

namespace harness
{

// A new empty temporary directory that lives as long as the object.
struct temp_dir {
    // Makes the directory below parent, or below the system's temporary directory when parent
    // is empty; throws when it cannot.
    explicit temp_dir(const std::string &parent = "");
    // Removes the directory and everything below it.
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    // The directory's path.
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

} // namespace harness

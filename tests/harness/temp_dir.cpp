#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace harness
{

temp_dir::temp_dir(const std::string &parent)
{
    const std::filesystem::path base =
        parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent);
    path_ = (base / "bgt.XXXXXX").string();
    if (!mkdtemp(path_.data()))
        throw std::runtime_error("mkdtemp below " + base.string());
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace harness

#pragma once
// A temporary data root for one test: KESTRAN_ROOT points at a fresh directory while
// the object lives; the directory is removed afterwards.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestran::test {

class TTempRoot {
 public:
  TTempRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kestran-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    if (const char* old = ::getenv("KESTRAN_ROOT")) {
      had_old_ = true;
      old_ = old;
    }
    ::setenv("KESTRAN_ROOT", dir_.c_str(), 1);
  }
  ~TTempRoot() {
    if (had_old_)
      ::setenv("KESTRAN_ROOT", old_.c_str(), 1);
    else
      ::unsetenv("KESTRAN_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TTempRoot(const TTempRoot&) = delete;
  TTempRoot& operator=(const TTempRoot&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string RegistryFile() const { return Path("registry.reg"); }

  // Writes a file below the root, creating its directories.
  void WriteFile(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
    std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
    f << text;
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream f(Path(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Writes the registry file: "REGEDIT4", a blank line, then body.
  void WriteRegistry(const std::string& body) const {
    WriteFile("registry.reg", "REGEDIT4\r\n\r\n" + body);
  }

 private:
  std::string dir_;
  bool had_old_ = false;
  std::string old_;
};

}  // namespace kestran::test

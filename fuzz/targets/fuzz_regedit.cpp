// The REGEDIT4 reader: any text either applies or raises ERegistryFile naming the file
// and line; what applied is exported and imported again without change.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "platform/registry_file.h"
#include "targets/fuzz_check.h"

using kestran::regfile::ApplyRegText;
using kestran::regfile::FormatRegText;
using kestran::regfile::TRegNode;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TRegNode root;
  try {
    ApplyRegText(text, "fuzz.reg", root);
  } catch (const kestran::ERegistryFile& e) {
    // The message names the file and the line.
    FUZZ_CHECK(std::string(e.what()).rfind("fuzz.reg(", 0) == 0);
    return 0;
  }
  const std::string exported = FormatRegText(root, "");
  TRegNode again;
  try {
    ApplyRegText(exported, "export.reg", again);
  } catch (const kestran::ERegistryFile& e) {
    std::fprintf(stderr, "export does not import: %s\n%s\n", e.what(), exported.c_str());
    FUZZ_CHECK(false);
  }
  FUZZ_CHECK(FormatRegText(again, "") == exported);
  return 0;
}

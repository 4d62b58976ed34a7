// A 32-bit PE image (a DLL as the MinGW i686 linker writes it), read from its file: headers,
// sections, exports, imports, base relocations and the TLS directory. The loader (process.cpp)
// maps it at a base of its choosing with relocate().
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emu {

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics =
      0;  // IMAGE_SCN_MEM_EXECUTE 0x20000000, READ 0x40000000, WRITE 0x80000000
};

// One imported function: the slot of the import address table the loader fills.
struct PeImport {
  std::string dll;   // as written in the import directory ("KERNEL32.dll")
  std::string name;  // empty for an import by ordinal
  uint32_t ordinal = 0;
  uint32_t iat_rva = 0;
};

struct PeImage {
  std::vector<uint8_t> file;
  uint32_t image_base = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint32_t entry_rva = 0;
  uint16_t characteristics = 0;
  uint16_t dll_characteristics = 0;
  std::vector<PeSection> sections;
  std::map<std::string, uint32_t> exports;  // name -> RVA
  std::string export_name;                  // the DLL name in its export directory
  std::vector<PeImport> imports;
  std::vector<uint32_t> relocations;  // RVAs of the 32-bit words to adjust (HIGHLOW)
  // TLS directory (VAs at the preferred base), zero when absent.
  uint32_t tls_callbacks_va = 0;
  uint32_t tls_index_va = 0;
  uint32_t tls_raw_start_va = 0, tls_raw_end_va = 0;
};

// Reads the file; on failure returns false with the reason in *error.
bool load_pe(const std::string& path, PeImage* image, std::string* error);

// The image laid out as the loader maps it at `base`: headers and sections copied, uninitialised
// parts zero, every base relocation applied for base - image_base. size_of_image bytes.
std::vector<uint8_t> relocate(const PeImage& image, uint32_t base);

}  // namespace emu

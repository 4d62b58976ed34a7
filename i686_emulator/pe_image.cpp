#include "i686_emulator/pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace emu {
namespace {

// Bounded little-endian reads of the file; any read outside it marks the image bad.
struct Reader {
  const std::vector<uint8_t>& bytes;
  bool bad = false;

  uint32_t u32(size_t at) {
    if (at + 4 > bytes.size()) return fail();
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
  }
  uint16_t u16(size_t at) {
    if (at + 2 > bytes.size()) return uint16_t(fail());
    return uint16_t(bytes[at] | bytes[at + 1] << 8);
  }
  std::string text(size_t at, size_t limit = 256) {
    std::string s;
    for (; at < bytes.size() && bytes[at] != 0 && s.size() < limit; ++at)
      s.push_back(char(bytes[at]));
    if (at >= bytes.size()) fail();
    return s;
  }
  uint32_t fail() {
    bad = true;
    return 0;
  }
};

// File offset of an RVA, through the section that holds it.
bool file_offset(const PeImage& image, uint32_t rva, size_t* offset) {
  if (rva < image.size_of_headers) {
    *offset = rva;
    return true;
  }
  for (const PeSection& s : image.sections) {
    if (rva >= s.rva && rva < s.rva + s.raw_size) {
      *offset = s.raw_offset + (rva - s.rva);
      return true;
    }
  }
  return false;
}

}  // namespace

bool load_pe(const std::string& path, PeImage* image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  image->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  Reader r{image->file};
  if (r.u16(0) != 0x5A4D) {
    *error = "no MZ header";
    return false;
  }
  const uint32_t pe = r.u32(0x3C);
  if (r.u32(pe) != 0x00004550 || r.u16(pe + 4) != 0x014C) {
    *error = "not a PE image for i386";
    return false;
  }
  const uint16_t section_count = r.u16(pe + 6);
  const uint16_t optional_size = r.u16(pe + 20);
  image->characteristics = r.u16(pe + 22);
  const size_t opt = pe + 24;
  if (r.u16(opt) != 0x010B) {
    *error = "not a PE32 optional header";
    return false;
  }
  image->entry_rva = r.u32(opt + 16);
  image->image_base = r.u32(opt + 28);
  image->size_of_image = r.u32(opt + 56);
  image->size_of_headers = r.u32(opt + 60);
  image->dll_characteristics = r.u16(opt + 70);
  const uint32_t directory_count = r.u32(opt + 92);
  auto directory = [&](uint32_t i, uint32_t* rva, uint32_t* size) {
    *rva = i < directory_count ? r.u32(opt + 96 + 8 * i) : 0;
    *size = i < directory_count ? r.u32(opt + 100 + 8 * i) : 0;
  };
  const size_t first_section = opt + optional_size;
  for (uint16_t i = 0; i < section_count; ++i) {
    const size_t at = first_section + 40 * size_t(i);
    PeSection s;
    s.name = r.text(at, 8);
    s.virtual_size = r.u32(at + 8);
    s.rva = r.u32(at + 12);
    s.raw_size = r.u32(at + 16);
    s.raw_offset = r.u32(at + 20);
    s.characteristics = r.u32(at + 36);
    image->sections.push_back(s);
  }
  if (r.bad) {
    *error = "truncated headers";
    return false;
  }

  uint32_t rva = 0, size = 0;
  size_t at = 0;
  // Exports: names and the RVAs they lead to.
  directory(0, &rva, &size);
  if (rva != 0 && file_offset(*image, rva, &at)) {
    size_t name_at = 0;
    if (file_offset(*image, r.u32(at + 12), &name_at)) image->export_name = r.text(name_at);
    const uint32_t names = r.u32(at + 24);
    size_t functions = 0, name_table = 0, ordinals = 0;
    if (file_offset(*image, r.u32(at + 28), &functions) &&
        file_offset(*image, r.u32(at + 32), &name_table) &&
        file_offset(*image, r.u32(at + 36), &ordinals)) {
      for (uint32_t i = 0; i < names; ++i) {
        size_t text_at = 0;
        if (!file_offset(*image, r.u32(name_table + 4 * i), &text_at)) continue;
        const uint16_t index = r.u16(ordinals + 2 * i);
        image->exports[r.text(text_at)] = r.u32(functions + 4 * size_t(index));
      }
    }
  }
  // Imports: one descriptor per DLL, each with its lookup table and its address table.
  directory(1, &rva, &size);
  if (rva != 0 && file_offset(*image, rva, &at)) {
    for (;; at += 20) {
      const uint32_t lookup = r.u32(at), name = r.u32(at + 12), iat = r.u32(at + 16);
      if (r.bad || (lookup == 0 && name == 0 && iat == 0)) break;
      size_t name_at = 0, table = 0;
      if (!file_offset(*image, name, &name_at) ||
          !file_offset(*image, lookup != 0 ? lookup : iat, &table)) {
        *error = "bad import descriptor";
        return false;
      }
      const std::string dll = r.text(name_at);
      for (uint32_t i = 0;; ++i) {
        const uint32_t entry = r.u32(table + 4 * size_t(i));
        if (r.bad || entry == 0) break;
        PeImport imp;
        imp.dll = dll;
        imp.iat_rva = iat + 4 * i;
        size_t hint_at = 0;
        if ((entry & 0x80000000u) != 0)
          imp.ordinal = entry & 0xFFFF;
        else if (file_offset(*image, entry, &hint_at))
          imp.name = r.text(hint_at + 2);
        image->imports.push_back(imp);
      }
    }
  }
  // Base relocations: blocks of 4 KB pages, each entry a 4-bit type and a 12-bit offset.
  directory(5, &rva, &size);
  if (rva != 0 && file_offset(*image, rva, &at)) {
    const size_t end = at + size;
    while (at + 8 <= end) {
      const uint32_t page = r.u32(at), block = r.u32(at + 4);
      if (block < 8 || r.bad) break;
      for (size_t e = at + 8; e + 2 <= at + block; e += 2) {
        const uint16_t entry = r.u16(e);
        const unsigned type = entry >> 12;
        if (type == 3) {
          image->relocations.push_back(page + (entry & 0x0FFF));
        } else if (type != 0) {
          *error = "unsupported relocation type " + std::to_string(type);
          return false;
        }
      }
      at += block;
    }
  }
  // TLS directory: raw data range, index and callbacks, as VAs.
  directory(9, &rva, &size);
  if (rva != 0 && file_offset(*image, rva, &at)) {
    image->tls_raw_start_va = r.u32(at);
    image->tls_raw_end_va = r.u32(at + 4);
    image->tls_index_va = r.u32(at + 8);
    image->tls_callbacks_va = r.u32(at + 12);
  }
  if (r.bad) {
    *error = "truncated directories";
    return false;
  }
  return true;
}

std::vector<uint8_t> relocate(const PeImage& image, uint32_t base) {
  std::vector<uint8_t> mapped(image.size_of_image, 0);
  std::memcpy(mapped.data(), image.file.data(),
              std::min<size_t>({image.size_of_headers, image.file.size(), mapped.size()}));
  for (const PeSection& s : image.sections) {
    if (s.rva >= mapped.size()) continue;
    const size_t count = std::min<size_t>(
        {s.raw_size, s.virtual_size != 0 ? s.virtual_size : s.raw_size, mapped.size() - s.rva,
         s.raw_offset < image.file.size() ? image.file.size() - s.raw_offset : 0});
    if (count > 0) std::memcpy(mapped.data() + s.rva, image.file.data() + s.raw_offset, count);
  }
  const uint32_t delta = base - image.image_base;
  for (uint32_t rva : image.relocations) {
    if (rva + 4 > mapped.size()) continue;
    uint32_t word = 0;
    std::memcpy(&word, mapped.data() + rva, 4);
    word += delta;
    std::memcpy(mapped.data() + rva, &word, 4);
  }
  return mapped;
}

}  // namespace emu

// Copies an icon file without one of its elements, for the test files that
// lack a part: icns-remove-element <in.icns> <element> <out.icns>
// libicns declares its functions without C linkage for C++.
extern "C" {
#include <icns.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[2]) != 4) {
    std::fprintf(stderr, "usage: icns-remove-element <in.icns> <element> <out.icns>\n");
    return 2;
  }
  const auto* code = reinterpret_cast<const unsigned char*>(argv[2]);
  const icns_type_t element = icns_type_t(code[0]) << 24 | icns_type_t(code[1]) << 16 |
                              icns_type_t(code[2]) << 8 | icns_type_t(code[3]);
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  icns_family_t* family = nullptr;
  const int read = icns_read_family_from_file(in, &family);
  std::fclose(in);
  if (read != ICNS_STATUS_OK || icns_remove_element_in_family(&family, element) != ICNS_STATUS_OK) {
    std::fprintf(stderr, "%s: no element %s\n", argv[1], argv[2]);
    std::free(family);
    return 1;
  }
  FILE* out = std::fopen(argv[3], "wb");
  const bool written = out != nullptr && icns_write_family_to_file(out, family) == ICNS_STATUS_OK;
  if (out != nullptr) std::fclose(out);
  std::free(family);
  if (!written) {
    std::fprintf(stderr, "%s: cannot write\n", argv[3]);
    return 1;
  }
  return 0;
}

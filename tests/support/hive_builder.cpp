#include "tests/support/hive_builder.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace purgato {

namespace {

constexpr std::size_t kBaseBlock = 0x1000;
constexpr std::size_t kBinSize = 0x1000;
constexpr std::uint64_t kSomeFileTime = 0x01D0000000000000ull;  // a fixed time in 2014

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = std::uint8_t(v);
  b[at + 1] = std::uint8_t(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
std::uint32_t get32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

struct HiveCloser {
  void operator()(hive_h* h) const { hivex_close(h); }
};
using HivePtr = std::unique_ptr<hive_h, HiveCloser>;

std::string latin1ToUtf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> minimalHive(const std::string& rootName) {
  std::vector<std::uint8_t> b(kBaseBlock + kBinSize, 0);
  // Base block.
  std::memcpy(&b[0], "regf", 4);
  put32(b, 0x04, 1);  // primary sequence number
  put32(b, 0x08, 1);  // secondary: equal, the hive is clean
  put64(b, 0x0C, kSomeFileTime);
  put32(b, 0x14, 1);  // major version
  put32(b, 0x18, 3);  // minor version
  put32(b, 0x1C, 0);  // primary file
  put32(b, 0x20, 1);  // direct memory load
  put32(b, 0x28, kBinSize);
  put32(b, 0x2C, 1);  // clustering factor

  // The one hbin.
  const std::size_t bin = kBaseBlock;
  std::memcpy(&b[bin], "hbin", 4);
  put32(b, bin + 4, 0);  // its offset in the bins data
  put32(b, bin + 8, kBinSize);

  // Root key cell at bins offset 0x20.
  const std::size_t nkAt = 0x20;
  const std::size_t nkSize = (4 + 76 + rootName.size() + 7) & ~std::size_t(7);
  const std::size_t skAt = nkAt + nkSize;
  const std::size_t skSize = (4 + 20 + 20 + 7) & ~std::size_t(7);
  if (skAt + skSize + 8 > kBinSize) throw std::invalid_argument("root name too long");

  std::size_t c = bin + nkAt;
  put32(b, c, std::uint32_t(-std::int32_t(nkSize)));
  std::memcpy(&b[c + 4], "nk", 2);
  put16(b, c + 4 + 2, 0x2C);  // hive entry | no delete | compressed name
  put64(b, c + 4 + 4, kSomeFileTime);
  put32(b, c + 4 + 16, 0xFFFFFFFFu);  // parent
  put32(b, c + 4 + 28, 0xFFFFFFFFu);  // subkey list
  put32(b, c + 4 + 32, 0xFFFFFFFFu);  // volatile subkey list
  put32(b, c + 4 + 40, 0xFFFFFFFFu);  // value list
  put32(b, c + 4 + 44, std::uint32_t(skAt));
  put32(b, c + 4 + 48, 0xFFFFFFFFu);  // class name
  put16(b, c + 4 + 72, std::uint16_t(rootName.size()));
  std::memcpy(&b[c + 4 + 76], rootName.data(), rootName.size());

  // Its security cell: one self-relative descriptor without owner, group
  // or lists, linked to itself.
  c = bin + skAt;
  put32(b, c, std::uint32_t(-std::int32_t(skSize)));
  std::memcpy(&b[c + 4], "sk", 2);
  put32(b, c + 4 + 4, std::uint32_t(skAt));  // flink
  put32(b, c + 4 + 8, std::uint32_t(skAt));  // blink
  put32(b, c + 4 + 12, 1);                   // references
  put32(b, c + 4 + 16, 20);                  // descriptor size
  b[c + 4 + 20] = 1;                         // revision
  put16(b, c + 4 + 22, 0x8000);              // self-relative

  // The rest of the bin is one free cell.
  const std::size_t freeAt = skAt + skSize;
  put32(b, bin + freeAt, std::uint32_t(kBinSize - freeAt));

  put32(b, 0x24, std::uint32_t(nkAt));
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= get32(b, i);
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  if (sum == 0) sum = 1;
  put32(b, 0x1FC, sum);
  return b;
}

std::vector<std::uint8_t> utf16z(const std::string& latin1) {
  std::vector<std::uint8_t> out;
  for (unsigned char c : latin1) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<std::uint8_t> dwordBytes(std::uint32_t value) {
  return {std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
}

HiveBuilder::Key& HiveBuilder::find(const std::string& path) {
  std::string joined;
  Key* found = nullptr;
  for (const std::string& part : splitPath(path)) {
    joined += joined.empty() ? part : "\\" + part;
    found = nullptr;
    for (Key& k : keys_)
      if (k.path == joined) found = &k;
    if (!found) {
      keys_.push_back({joined, {}});
      found = &keys_.back();
    }
  }
  if (!found) throw std::invalid_argument("values of the root key are not supported");
  return *found;
}

HiveBuilder& HiveBuilder::key(const std::string& path) {
  find(path);
  return *this;
}

HiveBuilder& HiveBuilder::value(const std::string& keyPath, const std::string& name, std::uint32_t type,
                                std::vector<std::uint8_t> data) {
  find(keyPath).values.push_back({name, type, std::move(data)});
  return *this;
}

void HiveBuilder::write(const std::string& hostPath) const {
  {
    const std::vector<std::uint8_t> bytes = minimalHive(rootName_);
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + hostPath);
  }
  HivePtr h(hivex_open(hostPath.c_str(), HIVEX_OPEN_WRITE));
  if (!h) throw std::runtime_error("hivex cannot open the minimal hive " + hostPath + ": " + std::strerror(errno));
  for (const Key& k : keys_) {
    hive_node_h node = hivex_root(h.get());
    for (const std::string& part : splitPath(k.path)) {
      const std::string name = latin1ToUtf8(part);
      hive_node_h child = hivex_node_get_child(h.get(), node, name.c_str());
      if (child == 0) child = hivex_node_add_child(h.get(), node, name.c_str());
      if (child == 0) throw std::runtime_error("hivex cannot add key " + k.path);
      node = child;
    }
    if (k.values.empty()) continue;
    std::vector<std::string> names;
    for (const Value& v : k.values) names.push_back(latin1ToUtf8(v.name));
    std::vector<hive_set_value> set;
    for (std::size_t i = 0; i < k.values.size(); ++i) {
      const Value& v = k.values[i];
      set.push_back({const_cast<char*>(names[i].c_str()), static_cast<hive_type>(v.type), v.data.size(),
                     reinterpret_cast<char*>(const_cast<std::uint8_t*>(v.data.data()))});
    }
    if (hivex_node_set_values(h.get(), node, set.size(), set.data(), 0) != 0)
      throw std::runtime_error("hivex cannot set the values of " + k.path);
  }
  if (hivex_commit(h.get(), nullptr, 0) != 0) throw std::runtime_error("hivex cannot commit " + hostPath);
}

namespace {

void dumpNode(hive_h* h, hive_node_h node, const std::string& path, std::vector<std::string>* lines) {
  char line[128];
  std::snprintf(line, sizeof line, " t=%lld", static_cast<long long>(hivex_node_timestamp(h, node)));
  lines->push_back("K " + path + line);
  if (hive_value_h* values = hivex_node_values(h, node)) {
    for (hive_value_h* v = values; *v != 0; ++v) {
      char* name = hivex_value_key(h, *v);
      hive_type type = hive_t_REG_NONE;
      std::size_t length = 0;
      char* data = hivex_value_value(h, *v, &type, &length);
      std::string text = "V " + path + " " + (name ? name : "?") + " type=" + std::to_string(unsigned(type)) + " ";
      for (std::size_t i = 0; data && i < length; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(data[i]));
        text += hex;
      }
      lines->push_back(text);
      std::free(name);
      std::free(data);
    }
    std::free(values);
  }
  if (hive_node_h* children = hivex_node_children(h, node)) {
    for (hive_node_h* c = children; *c != 0; ++c) {
      char* name = hivex_node_name(h, *c);
      dumpNode(h, *c, path + "\\" + (name ? name : "?"), lines);
      std::free(name);
    }
    std::free(children);
  }
}

}  // namespace

void patchValueCell(const std::string& hostPath, const std::string& valueName, std::uint32_t dataLength,
                    std::uint32_t dataOffset) {
  std::vector<std::uint8_t> bytes;
  {
    std::ifstream in(hostPath, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  // vk: signature, name length (2), data length (4), data offset (4), type (4), flags (2), spare (2), name.
  bool patched = false;
  for (std::size_t at = kBaseBlock; at + 20 + valueName.size() <= bytes.size(); ++at) {
    if (bytes[at] != 'v' || bytes[at + 1] != 'k') continue;
    const std::size_t nameLength = bytes[at + 2] | std::size_t(bytes[at + 3]) << 8;
    if (nameLength != valueName.size() || std::memcmp(&bytes[at + 20], valueName.data(), nameLength) != 0) continue;
    put32(bytes, at + 4, dataLength);
    put32(bytes, at + 8, dataOffset);
    patched = true;
  }
  if (!patched) throw std::runtime_error("no value cell named " + valueName + " in " + hostPath);
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> dumpHive(const std::string& hostPath) {
  HivePtr h(hivex_open(hostPath.c_str(), 0));
  if (!h) throw std::runtime_error("hivex cannot open " + hostPath);
  std::vector<std::string> lines;
  char* rootName = hivex_node_name(h.get(), hivex_root(h.get()));
  dumpNode(h.get(), hivex_root(h.get()), rootName ? rootName : "?", &lines);
  std::free(rootName);
  return lines;
}

}  // namespace purgato

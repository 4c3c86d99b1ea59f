// Registry hive files for tests, built from nothing: a minimal regf file
// (base block, one hbin, a root key and its security cell) written by hand
// from the published layout of the format, then keys and values added
// through hivex. No hive of a real Windows installation is ever copied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace purgato {

// Registry value types.
constexpr std::uint32_t kHiveRegSz = 1;
constexpr std::uint32_t kHiveRegExpandSz = 2;
constexpr std::uint32_t kHiveRegBinary = 3;
constexpr std::uint32_t kHiveRegDword = 4;
constexpr std::uint32_t kHiveRegMultiSz = 7;

// The bytes of an empty hive whose root key is called rootName.
std::vector<std::uint8_t> minimalHive(const std::string& rootName);

// text as UTF-16LE with its terminating zero (ASCII and Latin-1 only).
std::vector<std::uint8_t> utf16z(const std::string& latin1);
std::vector<std::uint8_t> dwordBytes(std::uint32_t value);

class HiveBuilder {
 public:
  explicit HiveBuilder(std::string rootName = "ROOT") : rootName_(std::move(rootName)) {}

  // Creates the key and its missing parents ("A\\B\\C", relative to the root).
  HiveBuilder& key(const std::string& path);
  // Adds a value to the key (created as needed), after those added before.
  HiveBuilder& value(const std::string& keyPath, const std::string& name, std::uint32_t type,
                     std::vector<std::uint8_t> data);
  HiveBuilder& text(const std::string& keyPath, const std::string& name, const std::string& latin1,
                    std::uint32_t type = kHiveRegSz) {
    return value(keyPath, name, type, utf16z(latin1));
  }
  HiveBuilder& dword(const std::string& keyPath, const std::string& name, std::uint32_t number) {
    return value(keyPath, name, kHiveRegDword, dwordBytes(number));
  }

  // Writes the hive to hostPath. Throws std::runtime_error on failure.
  void write(const std::string& hostPath) const;

 private:
  struct Value {
    std::string name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  struct Key {
    std::string path;
    std::vector<Value> values;
  };
  Key& find(const std::string& path);

  std::string rootName_;
  std::vector<Key> keys_;  // in creation order, parents first
};

// Sets the data length and data offset fields of the value cell ("vk")
// named valueName (ASCII) in the hive file at hostPath, as a hostile hive
// may have them: a length of 0 with no data cell (offset 0xFFFFFFFF), an
// offset that leads nowhere. Throws std::runtime_error when no such cell.
void patchValueCell(const std::string& hostPath, const std::string& valueName, std::uint32_t dataLength,
                    std::uint32_t dataOffset);

// Every key and value of the hive at hostPath through hivex's own reading,
// one line each, in hive order: "K <path> t=<timestamp>"
// and "V <path> <name> type=<type> <hex data>". Throws std::runtime_error
// when hivex cannot open the file.
std::vector<std::string> dumpHive(const std::string& hostPath);

}  // namespace purgato

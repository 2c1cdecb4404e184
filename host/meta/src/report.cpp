// The two output forms of tavik-meta: a few lines for people, one JSON object per image for programs.
#include "tavik/meta.hpp"

namespace tavik::meta {
namespace {

std::string string_or_empty(const Record& record, size_t index) {
  return index < record.strings.size() ? record.strings[index] : std::string();
}

nlohmann::ordered_json record_json(const FoundRecord& found, const char* first, const char* second) {
  const Record& record = found.record;
  nlohmann::ordered_json json;
  json["section"] = std::string(found.section.name);
  json["offset"] = found.section.offset;
  json["size"] = found.section.size;
  json["addr"] = found.section.addr;
  json["align"] = found.section.align;
  json["magic"] = record.magic;
  json["version"] = record.version;
  json[first] = string_or_empty(record, 0);
  json[second] = string_or_empty(record, 1);
  json["strings"] = record.strings;
  return json;
}

}  // namespace

std::string format_text(const std::string& path, const ImageRecords& records) {
  const Record& command = records.command.record;
  const Record& package = records.package.record;
  std::string out = printable(path) + ":\n";
  out += "  description  " + printable(string_or_empty(command, 0)) + "\n";
  out += "  usage        " + printable(string_or_empty(command, 1)) + "\n";
  out += "  package      " + printable(string_or_empty(package, 0)) + ", revision " +
         printable(string_or_empty(package, 1)) + "\n";
  for (size_t i = 2; i < command.strings.size(); i++) out += "  command+     " + printable(command.strings[i]) + "\n";
  for (size_t i = 2; i < package.strings.size(); i++) out += "  package+     " + printable(package.strings[i]) + "\n";
  return out;
}

nlohmann::ordered_json to_json(const std::string& path, const ImageRecords& records) {
  nlohmann::ordered_json json;
  json["file"] = path;
  json["command"] = record_json(records.command, "description", "usage");
  json["package"] = record_json(records.package, "name", "revision");
  return json;
}

}  // namespace tavik::meta

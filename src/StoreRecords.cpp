#include "StoreRecords.h"

#include "JSONText.h"
#include "SQLiteConnection.h"

#include <charconv>

namespace storerecords {
namespace {

// A list column as this program writes one: compact, each name printable
// ASCII without quotes or backslashes. Read without the JSON parser, which
// reads such text the same way; nothing for any other text, which then goes
// to the parser.
template <class Add>
bool readPlainStringList(std::string_view text, Add add) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  const size_t end = text.size() - 1;
  size_t i = 1;
  if (i == end) return true;
  for (;;) {
    if (text[i] != '"') return false;
    const size_t start = ++i;
    for (; i < end && text[i] != '"'; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
    }
    if (i >= end) return false;
    add(text.substr(start, i - start));
    if (++i == end) return true;
    if (text[i++] != ',') return false;
  }
}

}  // namespace

std::vector<std::string> decodeStringList(const std::string& text) {
  std::vector<std::string> list;
  if (readPlainStringList(text, [&](std::string_view name) { list.emplace_back(name); })) return list;
  list.clear();
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (!parsed.is_array()) return list;
  list.reserve(parsed.size());
  for (auto& element : parsed) {
    if (!element.is_string()) return {};
    list.push_back(std::move(element.get_ref<std::string&>()));
  }
  return list;
}

std::string encodeStringList(const std::vector<std::string>& values) {
  std::string text;
  if (!jsontext::write(nlohmann::json(values), text)) return "[]";
  return text;
}

const std::vector<std::string>& ToolNames::of(const std::string& aiTools) {
  if (!text_ || aiTools != *text_) {
    text_ = aiTools;
    names_ = decodeStringList(aiTools);
  }
  return names_;
}

AgentFields AgentFields::read(const Statement& row) {
  return {row.text(0), row.text(1), row.text(2), row.textOrNull(3), row.textOrNull(4), row.int64(5) != 0,
          row.real(6)};
}

namespace {

void appendCount(std::string& out, int32_t count) {
  char digits[16];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, count).ptr);
}

void writeOptionalText(jsontext::ObjectWriter& record, std::string_view key, const std::optional<std::string>& text) {
  if (text) record.text(key, *text);
  else record.null(key);
}

// `countAt`, when given, receives where the task count's digits begin.
void writeAgent(std::string& out, const AgentFields& agent, int32_t taskCount, jsontext::Form form,
                size_t* countAt) {
  jsontext::ObjectWriter record(out, form);
  record.text("agent_id", agent.id).number("created_at", agent.createdAt);
  writeOptionalText(record, "description", agent.description);
  record.boolean("enabled", agent.enabled);
  writeOptionalText(record, "icon_symbol", agent.iconSymbol);
  record.text("name", agent.name).member("task_count");
  if (countAt) *countAt = out.size();
  appendCount(out, taskCount);
  record.text("template", agent.templateName);
  record.close();
}

}  // namespace

void writeAgentRecord(std::string& out, const AgentFields& agent, int32_t taskCount, jsontext::Form form) {
  writeAgent(out, agent, taskCount, form, nullptr);
}

AgentRecordText::AgentRecordText(const AgentFields& agent, jsontext::Form form) : form_(form) {
  size_t countAt = 0;
  writeAgent(head_, agent, 0, form, &countAt);
  tail_ = head_.substr(countAt + 1);
  head_.resize(countAt);
}

void AgentRecordText::write(std::string& out, int32_t taskCount) const {
  out.append(head_);
  appendCount(out, taskCount);
  out.append(tail_);
}

void writeTaskRecord(std::string& out, const Statement& row, jsontext::Form form) {
  jsontext::ObjectWriter record(out, form);
  auto nullableReal = [&](std::string_view key, int column) {
    if (row.isNull(column)) record.null(key);
    else record.number(key, row.real(column));
  };
  record.text("agent_id", row.textBytes(1))
      .texts("ai_tools", decodeStringList(row.text(4)))
      .texts("depends_on", decodeStringList(row.text(7)))
      .boolean("enabled", row.int64(10) != 0)
      .text("frequency", row.textBytes(5))
      .text("host_id", row.textBytes(6));
  nullableReal("last_run_at", 12);
  record.text("name", row.textBytes(2));
  nullableReal("next_run_at", 11);
  record.text("prompt", row.textBytes(3))
      .text("task_id", row.textBytes(0))
      .integer("timeout_min", row.int32(8))
      .text("working_subdir", row.textBytes(9));
  record.close();
}

}  // namespace storerecords

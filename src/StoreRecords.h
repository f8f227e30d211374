#pragma once

#include "JSONForm.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Statement;

// The agent and task records as the store hands them up: compact JSON text,
// members in ascending byte order of their keys, written straight from what
// was read, so that a list of thousands is never a JSON object per record,
// and in the form the caller asks for (see JSONForm.h).
// Text is written as valid UTF-8 (ill-formed sequences replaced by U+FFFD);
// a time that another process stored as an infinity is written as null,
// since JSON cannot carry it and one such field must not cost the whole
// result.
namespace storerecords {

// An agent's fields as its record shows them: text as valid UTF-8.
struct AgentFields {
  std::string id;
  std::string name;
  std::string templateName;
  std::optional<std::string> description;
  std::optional<std::string> iconSymbol;
  bool enabled;
  double createdAt;

  // From a row of "id, name, template, description, icon_symbol, enabled,
  // created_at".
  static AgentFields read(const Statement& row);
};

// The agent record (eight keys: agent_id, created_at, description, enabled,
// icon_symbol, name, task_count, template).
void writeAgentRecord(std::string& out, const AgentFields& agent, int32_t taskCount, jsontext::Form form);

// An agent record's text on either side of its task count, so that a list
// writes each record with one copy.
class AgentRecordText {
 public:
  AgentRecordText(const AgentFields& agent, jsontext::Form form);
  void write(std::string& out, int32_t taskCount) const;
  jsontext::Form form() const { return form_; }

 private:
  jsontext::Form form_;
  std::string head_;  // up to the count
  std::string tail_;  // from after it
};

// The task record (thirteen keys) of a row of "id, agent_id, name, prompt,
// ai_tools, frequency, host_id, depends_on, timeout_min, working_subdir,
// enabled, next_run_at, last_run_at".
void writeTaskRecord(std::string& out, const Statement& row, jsontext::Form form);

// A JSON list column: the array when the text is an array of strings, else
// the empty array. Nothing is reported for text that is not.
std::vector<std::string> decodeStringList(const std::string& text);

// Compact JSON text of a list of strings, or "[]" when it cannot be written.
std::string encodeStringList(const std::vector<std::string>& values);

// Tool lists decoded for briefings, each distinct one once in a row: most
// tasks share one.
class ToolNames {
 public:
  const std::vector<std::string>& of(const std::string& aiTools);

 private:
  std::optional<std::string> text_;
  std::vector<std::string> names_;
};

}  // namespace storerecords

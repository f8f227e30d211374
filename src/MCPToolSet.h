#pragma once

#include "JSONForm.h"
#include "MCPProtocolVersion.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class MCPAgentStore;

// The eight MCP tools: their catalogue and their implementation over the
// store. Tools check their own arguments and throw MCPError for bad ones;
// the store's errors pass through unchanged.
class MCPToolSet {
 public:
  explicit MCPToolSet(std::shared_ptr<MCPAgentStore> store);

  // The catalogue, eight descriptors in a fixed order, as `version` of the
  // protocol has them: 2024-11-05 knows only name, description and input
  // schema; 2025-03-26 adds each tool's annotations and 2025-06-18 its title
  // and the schema of its result object (see RecordShapes.h).
  // The same value on every call; it depends on nothing but this program.
  static const nlohmann::json& toolDescriptors(MCPProtocolVersion version = MCPProtocolVersion::v2024_11_05);

  // The names that invoke routes to an operation, in routing order.
  static std::vector<std::string_view> routedToolNames();

  // Runs the tool `name` (compared exactly) with `arguments`, a JSON object,
  // and appends the compact JSON text of its result object to `out` in
  // `form` (members in ascending key order, "/" escaped); "{}" when JSON
  // cannot carry the result. Throws MCPError::unknownTool for any other
  // name; when it throws, `out` holds what it held before.
  void invoke(const std::string& name, const nlohmann::json& arguments, std::string& out,
              jsontext::Form form = jsontext::Form::json);

 private:
  void invokeCreateAgent(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeCreateTask(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeRegisterDependency(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeListAgents(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeListTasks(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeGetAgent(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeGetTask(const nlohmann::json& arguments, std::string& out, jsontext::Form form);
  void invokeRunNow(const nlohmann::json& arguments, std::string& out, jsontext::Form form);

  using Operation = void (MCPToolSet::*)(const nlohmann::json&, std::string&, jsontext::Form);
  struct Route {
    std::string_view name;
    Operation operation;
  };
  static const Route routes_[8];

  std::shared_ptr<MCPAgentStore> store_;
};

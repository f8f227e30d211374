#pragma once

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
  // schema; 2025-03-26 adds each tool's annotations and 2025-06-18 its title.
  // The same value on every call; it depends on nothing but this program.
  static const nlohmann::json& toolDescriptors(MCPProtocolVersion version = MCPProtocolVersion::v2024_11_05);

  // The names that invoke routes to an operation, in routing order.
  static std::vector<std::string_view> routedToolNames();

  // Runs the tool `name` (compared exactly) with `arguments`, a JSON object,
  // and returns its result: an object, or for the read tools the object's
  // JSON text already written (a string result is sent as it stands).
  // Throws MCPError::unknownTool for any other name.
  nlohmann::json invoke(const std::string& name, const nlohmann::json& arguments);

 private:
  nlohmann::json invokeCreateAgent(const nlohmann::json& arguments);
  nlohmann::json invokeCreateTask(const nlohmann::json& arguments);
  nlohmann::json invokeRegisterDependency(const nlohmann::json& arguments);
  nlohmann::json invokeListAgents(const nlohmann::json& arguments);
  nlohmann::json invokeListTasks(const nlohmann::json& arguments);
  nlohmann::json invokeGetAgent(const nlohmann::json& arguments);
  nlohmann::json invokeGetTask(const nlohmann::json& arguments);
  nlohmann::json invokeRunNow(const nlohmann::json& arguments);

  using Operation = nlohmann::json (MCPToolSet::*)(const nlohmann::json&);
  struct Route {
    std::string_view name;
    Operation operation;
  };
  static const Route routes_[8];

  std::shared_ptr<MCPAgentStore> store_;
};

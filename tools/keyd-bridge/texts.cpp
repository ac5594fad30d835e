// Escaping for log lines and the outcome documents.
#include "texts.h"

#include <cstdio>

#include "cKlog.h"
#include "kjson.h"

std::string shown(std::string_view text) { return cKlog::escapeControls(text); }

namespace {

std::optional<std::string> member(const json_t* object, const char* name) {
  const json_t* value = json_object_get(object, name);
  if (!json_is_string(value)) return std::nullopt;
  return std::string(json_string_value(value), json_string_length(value));
}

JsonPtr document(const CommandFacts& facts) {
  JsonPtr doc(json_object());
  json_object_set_new(doc.get(), "command", jsonString(facts.command));
  json_object_set_new(doc.get(), "app", jsonString(facts.app));
  if (facts.rfid) json_object_set_new(doc.get(), "rfid", jsonString(*facts.rfid));
  if (facts.state) json_object_set_new(doc.get(), "state", jsonString(*facts.state));
  return doc;
}

std::string dumped(const JsonPtr& doc) { return jsonDump(doc.get(), 0).value_or("{}"); }

}  // namespace

CommandFacts factsOf(std::string_view payload, const std::string& app, bool read) {
  CommandFacts facts;
  facts.app = app;
  if (!read) return facts;
  JsonPtr doc(json_loadb(payload.data(), payload.size(), 0, nullptr));
  if (!json_is_object(doc.get())) return facts;
  facts.command = member(doc.get(), "command").value_or("-");
  facts.rfid = member(doc.get(), "RFID");
  facts.state = member(doc.get(), "state");
  return facts;
}

std::optional<CommandFacts> factsOfOutcome(std::string_view document) {
  JsonPtr doc(json_loadb(document.data(), document.size(), 0, nullptr));
  std::optional<std::string> command = member(doc.get(), "command"), app = member(doc.get(), "app");
  if (!json_is_object(doc.get()) || !command || !app) return std::nullopt;
  return CommandFacts{*command, *app, member(doc.get(), "rfid"), member(doc.get(), "state")};
}

bool names(const CommandFacts& outcome, const CommandFacts& command) {
  return outcome.command == command.command && outcome.app == command.app &&
         (!outcome.rfid || outcome.rfid == command.rfid) &&
         (!outcome.state || outcome.state == command.state);
}

std::string outcomeDocument(const CommandFacts& facts, const char* outcome, const char* reason) {
  JsonPtr doc = document(facts);
  json_object_set_new(doc.get(), "outcome", json_string(outcome));
  if (reason) json_object_set_new(doc.get(), "reason", json_string(reason));
  return dumped(doc);
}

std::string queuedDocument(const CommandFacts& facts, size_t place) {
  JsonPtr doc = document(facts);
  json_object_set_new(doc.get(), "outcome", json_string("queued"));
  json_object_set_new(doc.get(), "place", json_integer(static_cast<json_int_t>(place)));
  return dumped(doc);
}

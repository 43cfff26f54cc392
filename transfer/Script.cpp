#include "transfer/Script.h"

// Placeholder bodies: the parser comes with the script work.
const char* ScriptLinkName(ScriptLink link) { return link == ScriptLink::Serial ? "serial" : "network"; }
std::string ScriptSend::Wire() const { return data; }
ScriptParse ParseScript(std::string_view, const std::string& file) { return {false, {}, 0, file + ": not parsed"}; }
ScriptParse LoadScript(const std::string& path) { return ParseScript({}, path); }
int64_t ParseDuration(std::string_view) { return -1; }
std::string FormatDuration(int64_t) { return {}; }
std::string QuoteScriptData(std::string_view bytes) { return "\"" + std::string(bytes) + "\""; }
std::string FormatSendStep(const ScriptSend&) { return {}; }

// The command line of one command: options by name (long "--name value" or
// "--name=value", a short "-r value" or "-rvalue" for common ones), then the
// positional arguments in order; "--" ends the options.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct OPTION_SPEC {
  const char* pLong;       // "recover"
  char cShort;             // 'r', or 0
  const char* pValueName;  // "DEST" for an option with a value, nullptr for a switch
  const char* pHelp;       // one line for the command's help
};

class CArgs {
 public:
  // False with a message in error when the line does not fit the specs.
  bool Parse(int argc, char** argv, const std::vector<OPTION_SPEC>& specs, std::string& error);

  bool Has(const std::string& name) const { return m_values.count(name) != 0; }
  // The last value given for an option ("" when absent).
  std::string Get(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return m_positional; }

 private:
  std::map<std::string, std::vector<std::string>> m_values;
  std::vector<std::string> m_positional;
};

// The options of a command as its help lists them.
void PrintOptions(FILE* pOut, const std::vector<OPTION_SPEC>& specs);

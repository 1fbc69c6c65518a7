#include "Args.h"

#include <cstring>

namespace {

const OPTION_SPEC* FindLong(const std::vector<OPTION_SPEC>& specs, const std::string& name) {
  for (const OPTION_SPEC& s : specs)
    if (name == s.pLong) return &s;
  return nullptr;
}

const OPTION_SPEC* FindShort(const std::vector<OPTION_SPEC>& specs, char c) {
  for (const OPTION_SPEC& s : specs)
    if (s.cShort && s.cShort == c) return &s;
  return nullptr;
}

}  // namespace

bool CArgs::Parse(int argc, char** argv, const std::vector<OPTION_SPEC>& specs, std::string& error) {
  m_values.clear();
  m_positional.clear();
  bool options = true;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (!options || a.size() < 2 || a[0] != '-') {
      m_positional.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    const OPTION_SPEC* spec = nullptr;
    std::string value;
    bool inlineValue = false;
    if (a[1] == '-') {
      size_t eq = a.find('=');
      std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      spec = FindLong(specs, name);
      if (!spec) {
        error = "unknown option '--" + name + "'";
        return false;
      }
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        inlineValue = true;
      }
    } else {
      spec = FindShort(specs, a[1]);
      if (!spec) {
        error = "unknown option '" + a.substr(0, 2) + "'";
        return false;
      }
      if (a.size() > 2) {
        value = a.substr(2);
        inlineValue = true;
      }
    }
    std::string shown = std::string("--") + spec->pLong;
    if (!spec->pValueName) {
      if (inlineValue) {
        error = shown + " takes no value";
        return false;
      }
      m_values[spec->pLong].push_back(std::string());
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        error = shown + " needs a value (" + spec->pValueName + ")";
        return false;
      }
      value = argv[++i];
    }
    m_values[spec->pLong].push_back(value);
  }
  return true;
}

std::string CArgs::Get(const std::string& name) const {
  auto it = m_values.find(name);
  return it == m_values.end() || it->second.empty() ? std::string() : it->second.back();
}

void PrintOptions(FILE* pOut, const std::vector<OPTION_SPEC>& specs) {
  for (const OPTION_SPEC& s : specs) {
    std::string left = s.cShort ? std::string("-") + s.cShort + ", " : std::string("    ");
    left += std::string("--") + s.pLong;
    if (s.pValueName) left += std::string(" ") + s.pValueName;
    fprintf(pOut, "  %-26s %s\n", left.c_str(), s.pHelp);
  }
}

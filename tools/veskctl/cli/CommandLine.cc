#include "tools/veskctl/cli/CommandLine.h"

#include <algorithm>
#include <vector>

namespace veskctl {

namespace {

// Commands with an empty group are hidden from help, and so from completion.
std::vector<const CLI::App*> Visible(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

std::vector<std::string> OptionWords(const CLI::App& app) {
  std::vector<std::string> words;
  for (const CLI::Option* option :
       app.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
    for (const auto& name : option->get_lnames()) words.push_back("--" + name);
  }
  return words;
}

// One case per command path: the commands below it and the options it takes (global options
// are taken everywhere).
void Levels(const CLI::App& app, const std::string& path, const std::vector<std::string>& globals,
            std::string& walk, std::string& words) {
  std::vector<std::string> list;
  for (const CLI::App* sub : Visible(app)) {
    const std::string subPath = path + "/" + sub->get_name();
    list.push_back(sub->get_name());
    walk += "      " + subPath + ") at=" + subPath + " ;;\n";
    Levels(*sub, subPath, globals, walk, words);
  }
  if (path != "veskctl") {
    for (const auto& word : OptionWords(app)) list.push_back(word);
  }
  list.insert(list.end(), globals.begin(), globals.end());
  std::string joined;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (std::find(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i), list[i]) ==
        list.begin() + static_cast<std::ptrdiff_t>(i))
      joined += (joined.empty() ? "" : " ") + list[i];
  }
  words += "    " + path + ") words=\"" + joined + "\" ;;\n";
}

// Letters to insert, delete or replace to turn one word into the other.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
  }
  return d[a.size()][b.size()];
}

std::string Suggestion(const CLI::App& app, const std::string& word) {
  std::vector<std::string> best;
  std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const CLI::App* sub : Visible(app)) {
    const std::string& name = sub->get_name();
    // The beginning of a command counts as close as a one-letter slip.
    const std::size_t distance = name.rfind(word, 0) == 0 ? 1 : Distance(word, name);
    if (distance < bestDistance) best.clear();
    if (distance <= bestDistance) {
      bestDistance = distance;
      best.push_back("'" + name + "'");
    }
  }
  std::string text;
  for (std::size_t i = 0; i < best.size(); ++i)
    text += (i == 0 ? "" : i + 1 == best.size() ? " or " : ", ") + best[i];
  return text;
}

}  // namespace

std::string BashCompletion(const CLI::App& app) {
  std::string walk, words;
  Levels(app, "veskctl", OptionWords(app), walk, words);
  return "# bash completion for veskctl, made by 'veskctl completion bash'\n"
         "_veskctl() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} at=veskctl i words\n"
         "  case ${COMP_WORDS[COMP_CWORD-1]} in\n"
         "    --state|--topology) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "  esac\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case $at/${COMP_WORDS[i]} in\n" +
         walk +
         "    esac\n"
         "  done\n"
         "  case $at in\n" +
         words +
         "  esac\n"
         "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
         "}\n"
         "complete -F _veskctl veskctl\n";
}

std::string UnknownCommand(const CLI::App& app, int argc, char** argv) {
  const CLI::App* at = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return "";
    if (word.rfind("-", 0) == 0) {
      // An option that takes a value takes the next word too, unless given as --name=value.
      const CLI::Option* option = nullptr;
      for (const CLI::App* level = at; level && !option; level = level->get_parent())
        option = level->get_option_no_throw(word.substr(0, word.find('=')));
      if (option && option->get_items_expected_max() > 0 && word.find('=') == std::string::npos)
        ++i;
      continue;
    }
    if (Visible(*at).empty()) return "";  // an argument of the command
    const CLI::App* sub = nullptr;
    for (const CLI::App* candidate : at->get_subcommands([](const CLI::App*) { return true; }))
      if (candidate->get_name() == word) sub = candidate;
    if (!sub) {
      const std::string suggestion = Suggestion(*at, word);
      return "unknown command '" + word + "'" +
             (suggestion.empty() ? "" : "; did you mean " + suggestion + "?") + " (see '" +
             (at == &app ? std::string("veskctl") : "veskctl " + at->get_name()) + " --help')";
    }
    at = sub;
  }
  return "";
}

}  // namespace veskctl

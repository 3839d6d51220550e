// optionTable.h — render's and play's options as one table. A row is one
// option of one or both commands: its names, what it takes, its default,
// the values it allows (a list, a range, a rule over its text), its help,
// and whether it makes the video (so belongs in a part's record and a
// project file) or is about one run. Everything else is made from it: the
// command line adds each row and binds only where its value goes
// (cliOptions.cpp), the help is its texts, a project file is read and written
// by render's rows, the page checks a project's values by the same rules
// before it starts a render, and serves the table to its controls.
//
// Threading: built once on first use (a function-local static); read-only
// after, any thread.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "server/project.h"

enum OptionCommands : unsigned { kForRender = 1, kForPlay = 2, kForBoth = 3 };

struct OptionRow {
  unsigned commands = kForBoth;
  std::string names;  // CLI11's form: "--crf", "-q,--quiet"; a positional's "SOUND"
  ProjectOption::Kind kind = ProjectOption::One;
  std::string help;
  std::string fallback;  // the default as a user would type it; "" when there is none or it is worked out
  std::vector<std::string> choices;  // the values allowed; empty: any the rule takes
  bool ranged = false;  // a number from low to high (whole: an integer), said as `what` ("seconds")
  std::string what;
  bool whole = false;
  double low = 0;
  double high = 0;
  Status (*rule)(const std::string& value) = nullptr;  // the value alone, in the command line's words
  std::string typeName;      // what the help shows for the value ("FILE (repeatable)")
  bool runOnly = false;      // about this run, not the video: never in a part's record or a project
  bool valueOptional = false;  // --capture: given bare or with a value
  bool required = false;

  std::string name() const;  // the long name without dashes: "crf", "quiet", "SOUND"
  bool positional() const;
};

// Every row, render's and play's, in the order their help lists them.
const std::vector<OptionRow>& optionTable();

// The row of `command`'s option `name` (long name, no dashes); null when it has none.
const OptionRow* findOptionRow(unsigned command, const std::string& name);

// Whether one value is one the option takes, in the command line's words:
// a flag's true or false, a choice, a number in range, the row's rule.
Status checkOptionValue(const OptionRow& row, const std::string& value);

// The text of a number's option (crossfade, downbeat, ...) read by its row:
// its range and the words it is refused in.
Status readOptionNumber(const std::string& name, const std::string& text, double& out);

// render's rows as a project file sees them (positionals left out).
std::vector<ProjectOption> projectOptionTable();

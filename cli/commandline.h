#pragma once

#include <QByteArray>
#include <QString>

#include <span>
#include <vector>

// One option of a program. The same table gives the parser, --help and the shell completions,
// so that none of them can name an option the others lack.
struct OptionSpec
{
    int id;                // what the parser reports: the short letter, or a number from 256
    char shortName;        // 0 for none
    const char *longName;  // without the dashes
    const char *valueName; // the value's name in the help, or null for an option without one
    const char *help;
    const char *choices = nullptr; // the values a completion offers, blank-separated
};

struct ParsedOption
{
    const OptionSpec *option;
    const char *value; // null for an option without one
};

struct ParsedArguments
{
    std::vector<ParsedOption> options; // in the order given
    std::vector<const char *> operands;
    QString error; // a usage error, which may run to a second line with a hint; empty if none
};

// Parses argv with getopt_long, which permutes it: long options with "=" or a separate value,
// unambiguous abbreviations, bundled short options, and "--" ending the options.
ParsedArguments parseArguments(int argc, char **argv, std::span<const OptionSpec> options);

// The option whose name is nearest to `typed` (an argument as written, "--imagenes" or
// "-sort"), spelled "--name"; empty when none is near enough to be what was meant.
QString nearestOption(QByteArrayView typed, std::span<const OptionSpec> options);

// The word of `choices` nearest to `typed`; empty when none is near.
QString nearestWord(QByteArrayView typed, const char *choices);

// The help's option lines, each within 80 columns.
QByteArray optionLines(std::span<const OptionSpec> options);

// --version's text: name and version, copyright, licence and warranty.
QByteArray versionText(const char *program);

// A completion script for `shell` (bash, zsh or fish) offering the options and, as operands,
// folders (one, or any number); empty for a shell it does not know.
QByteArray completionScript(const QByteArray &shell, const char *program,
                            std::span<const OptionSpec> options, bool manyOperands);

#include "commandline.h"

#include "appinfo.h"
#include "filenames.h"

#include <QStringList>

#include <algorithm>
#include <cstring>
#include <getopt.h>

using namespace Qt::StringLiterals;

namespace {

const OptionSpec *byId(int id, std::span<const OptionSpec> options)
{
    for (const OptionSpec &option : options) {
        if (option.id == id)
            return &option;
    }
    return nullptr;
}

QString longSpelling(const OptionSpec &option)
{
    return u"--"_s + QLatin1StringView(option.longName);
}

// Edits between two words, a swap of neighbours counting as one.
qsizetype distance(QByteArrayView a, QByteArrayView b)
{
    std::vector<std::vector<qsizetype>> d(a.size() + 1, std::vector<qsizetype>(b.size() + 1));
    for (qsizetype i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (qsizetype j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// A near word is at most a quarter of it away, plus one; two letters are too few to guess from.
QByteArray nearest(QByteArrayView typed, const QByteArrayList &words)
{
    if (typed.size() < 3)
        return {};
    QByteArray best;
    qsizetype bestDistance = 1 + typed.size() / 4 + 1;
    for (const QByteArray &word : words) {
        if (const qsizetype d = distance(typed, word); d < bestDistance) {
            best = word;
            bestDistance = d;
        }
    }
    return best;
}

QString didYouMean(const QString &word)
{
    return word.isEmpty() ? QString() : u"\n¿quería decir "_s + word + u'?';
}

// The argument an unknown short option letter came in: getopt leaves optind on it while the
// bundle goes on, and past it once the letter was the last.
QByteArrayView shortOptionWord(int argc, char **argv, int letter)
{
    for (const int i : {optind, optind - 1}) {
        if (i > 0 && i < argc && argv[i][0] == '-' && argv[i][1] != '-'
            && std::strchr(argv[i] + 1, letter))
            return argv[i];
    }
    return {};
}

QString unknownOption(int argc, char **argv, std::span<const OptionSpec> options)
{
    if (optopt != 0) {
        const QByteArrayView word = shortOptionWord(argc, argv, optopt);
        return QStringLiteral("opción desconocida: -%1")
                   .arg(decodeFileName(QByteArray(1, char(optopt))))
               + didYouMean(nearestOption(word, options));
    }
    const QByteArrayView typed = argv[optind - 1];
    const QByteArrayView name =
        typed.first(typed.contains('=') ? typed.indexOf('=') : typed.size());
    QStringList candidates;
    for (const OptionSpec &option : options) {
        if (option.longName && QByteArrayView(option.longName).startsWith(name.sliced(2)))
            candidates << longSpelling(option);
    }
    if (candidates.size() > 1)
        return QStringLiteral("opción ambigua: %1 (puede ser %2)")
            .arg(decodeFileName(name), candidates.join(u", "_s));
    return QStringLiteral("opción desconocida: %1").arg(decodeFileName(name))
           + didYouMean(nearestOption(name, options));
}

// Breaks `text` into lines of at most `width` characters after `indent` blanks, at blanks.
QStringList wrapped(const QString &text, qsizetype width)
{
    QStringList lines;
    QString line;
    for (const QString &word : text.split(u' ')) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : u" "_s) + word;
    }
    lines << line;
    return lines;
}

// Single quotes around `text` for a shell, with the quotes inside it closed and reopened.
QByteArray quoted(QByteArray text)
{
    return '\'' + text.replace('\'', "'\\''") + '\'';
}

QByteArray functionName(const char *program)
{
    return '_' + QByteArray(program).replace('-', '_');
}

QByteArray bashScript(const char *program, std::span<const OptionSpec> options)
{
    QByteArray names, values;
    for (const OptionSpec &option : options) {
        names += (names.isEmpty() ? "" : " ") + QByteArray("--") + option.longName;
        if (option.shortName)
            names += QByteArray(" -") + option.shortName;
        if (option.valueName) {
            values += QByteArray("        --") + option.longName;
            if (option.shortName)
                values += QByteArray(" | -") + option.shortName;
            values += ")\n";
            if (option.choices)
                values += "            mapfile -t COMPREPLY < <(compgen -W "
                          + quoted(option.choices) + " -- \"$cur\")\n";
            else
                values += "            COMPREPLY=()\n";
            values += "            return\n            ;;\n";
        }
    }
    QByteArray script = "# bash completion for " + QByteArray(program)
                        + ", made from its option table: options, then folders.\n\n"
                        + functionName(program) + "()\n{\n"
                        + "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - "
                          "1]} i\n"
                          "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                          "        [[ ${COMP_WORDS[i]} == -- ]] && break\n"
                          "    done\n";
    if (!values.isEmpty())
        script += "    if [[ $i -eq $COMP_CWORD ]]; then\n        case $prev in\n" + values
                  + "        esac\n    fi\n";
    script += "    if [[ $cur == -* && $i -eq $COMP_CWORD ]]; then\n"
              "        mapfile -t COMPREPLY < <(compgen -W "
              + quoted(names)
              + " -- \"$cur\")\n"
                "        return\n"
                "    fi\n"
                "    compopt -o filenames 2>/dev/null\n"
                "    mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n"
                "}\n"
                "complete -F "
              + functionName(program) + ' ' + program + '\n';
    return script;
}

QByteArray zshDescription(const char *help)
{
    QByteArray text(help);
    for (const char c : {'\\', '[', ']', ':'})
        text.replace(c, QByteArray("\\") + c);
    return text.replace('\'', "'\\''");
}

QByteArray zshScript(const char *program, std::span<const OptionSpec> options, bool manyOperands)
{
    QByteArray script = "#compdef " + QByteArray(program) + "\n# zsh completion for " + program
                        + ", made from its option table: options, then folders.\n\n"
                        + "_arguments -s -S \\\n";
    for (const OptionSpec &option : options) {
        // Help and version end the run: nothing goes with them.
        const bool alone = !option.valueName && (option.id == 'h' || option.id == 'V');
        const QByteArray longName = QByteArray("--") + option.longName;
        QByteArray line = "    ";
        if (alone)
            line += "'(- *)'";
        else if (option.shortName)
            line += "'(-" + QByteArray(1, option.shortName) + ' ' + longName + ")'";
        line += option.shortName ? '{' + QByteArray("-") + option.shortName + ',' + longName + '}'
                                 : longName;
        line +=
            "'" + QByteArray(option.valueName ? "=" : "") + '[' + zshDescription(option.help) + ']';
        if (option.valueName)
            line += ':' + zshDescription(option.valueName) + ':'
                    + (option.choices ? '(' + QByteArray(option.choices) + ')' : QByteArray(" "));
        script += line + "' \\\n";
    }
    return script + "    '" + (manyOperands ? "*" : "") + ":carpeta:_files -/'\n";
}

QByteArray fishScript(const char *program, std::span<const OptionSpec> options)
{
    const QByteArray command = "complete -c " + QByteArray(program);
    QByteArray script = "# fish completion for " + QByteArray(program)
                        + ", made from its option table: options, then folders.\n\n" + command
                        + " -f -a '(__fish_complete_directories (commandline -ct))'\n";
    for (const OptionSpec &option : options) {
        script += command;
        if (option.shortName)
            script += QByteArray(" -s ") + option.shortName;
        script += QByteArray(" -l ") + option.longName;
        if (option.valueName)
            script += " -x" + (option.choices ? " -a " + quoted(option.choices) : QByteArray());
        script += " -d " + quoted(QByteArray(option.help).replace('\\', "\\\\")) + '\n';
    }
    return script;
}

} // namespace

ParsedArguments parseArguments(int argc, char **argv, std::span<const OptionSpec> options)
{
    // Leading ":" asks getopt to tell a missing value apart and, with opterr off, to print
    // nothing of its own: its messages are in English and without our hint.
    QByteArray shortOptions = ":";
    std::vector<option> longOptions;
    for (const OptionSpec &known : options) {
        if (known.shortName)
            shortOptions += QByteArray(1, known.shortName) + (known.valueName ? ":" : "");
        longOptions.push_back(
            {known.longName, known.valueName ? required_argument : no_argument, nullptr, known.id});
    }
    longOptions.push_back({});

    ParsedArguments parsed;
    opterr = 0;
    optind = 0; // a fresh start, also for a second parse in the same process
    for (;;) {
        const int id =
            getopt_long(argc, argv, shortOptions.constData(), longOptions.data(), nullptr);
        if (id == -1)
            break;
        if (id == ':') {
            parsed.error =
                QStringLiteral("falta el valor de %1").arg(longSpelling(*byId(optopt, options)));
            return parsed;
        }
        if (id == '?') {
            // A known option got here only by being given a value it does not take.
            if (const OptionSpec *option = optopt != 0 ? byId(optopt, options) : nullptr)
                parsed.error =
                    QStringLiteral("la opción %1 no lleva valor").arg(longSpelling(*option));
            else
                parsed.error = unknownOption(argc, argv, options);
            return parsed;
        }
        parsed.options.push_back({byId(id, options), optarg});
    }
    for (int i = optind; i < argc; ++i)
        parsed.operands.push_back(argv[i]);
    return parsed;
}

QString nearestOption(QByteArrayView typed, std::span<const OptionSpec> options)
{
    // "-sort" is taken for "--sort": a dash is the likeliest slip.
    QByteArray name = typed.toByteArray();
    while (name.startsWith('-'))
        name.remove(0, 1);
    QByteArrayList names;
    for (const OptionSpec &option : options)
        names << option.longName;
    const QByteArray found = nearest(name, names);
    return found.isEmpty() ? QString() : u"--"_s + QString::fromLatin1(found);
}

QString nearestWord(QByteArrayView typed, const char *choices)
{
    return QString::fromUtf8(nearest(typed, QByteArray(choices).split(' ')));
}

QByteArray optionLines(std::span<const OptionSpec> options)
{
    constexpr qsizetype helpColumn = 24;
    QString text;
    for (const OptionSpec &option : options) {
        QString name =
            option.shortName ? u"  -"_s + QChar(option.shortName) + u", "_s : u"      "_s;
        name += longSpelling(option);
        if (option.valueName)
            name += u' ' + QString::fromUtf8(option.valueName);
        // Padded by characters, not bytes, so that "PATRÓN" keeps the column.
        const QStringList help = wrapped(QString::fromUtf8(option.help), 80 - helpColumn);
        text += name.size() < helpColumn - 1
                    ? name.leftJustified(helpColumn) + help.first()
                    : name + u'\n' + QString(helpColumn, u' ') + help.first();
        for (qsizetype i = 1; i < help.size(); ++i)
            text += u'\n' + QString(helpColumn, u' ') + help[i];
        text += u'\n';
    }
    return text.toUtf8();
}

QByteArray versionText(const char *program)
{
    return QByteArray(program) + " (Quorvel Folimbra) " + AppInfo::versionText().toUtf8()
           + "\nCopyright (C) 2026 The Quorvel Folimbra developers.\n"
             "Licencia MIT: <https://opensource.org/licenses/MIT>.\n"
             "Esto es software libre: puede cambiarlo y redistribuirlo.\n"
             "No hay NINGUNA GARANTÍA, dentro de lo que permite la ley.\n";
}

QByteArray completionScript(const QByteArray &shell, const char *program,
                            std::span<const OptionSpec> options, bool manyOperands)
{
    if (shell == "bash")
        return bashScript(program, options);
    if (shell == "zsh")
        return zshScript(program, options, manyOperands);
    if (shell == "fish")
        return fishScript(program, options);
    return {};
}

#include "options.h"

#include "appinfo.h"
#include "filenames.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

enum IndexOption {
    Images = 256,
    Open,
    Thumbnails,
    Sort,
    Reverse,
    Exclude,
    NoHidden,
    Catalog,
    Json,
    MaxDepth,
    Style,
    Watch,
    Update,
    Tags,
};

constexpr char sortKeys[] = "name date size taken";
constexpr char styleKeys[] = "classic modern";

constexpr OptionSpec indexTable[] = {
    {Images, 0, "images", nullptr, "una imagen de 200 x 200 bajo cada archivo de imagen"},
    {Open, 0, "open", nullptr, "abre la página terminada en el visor predeterminado"},
    {Thumbnails, 0, "thumbnails", nullptr,
     "una miniatura de hasta 256 x 256 bajo cada imagen, guardada junto a ella (con --style "
     "modern, también una portada de cada vídeo)"},
    {'r', 'r', "recursive", nullptr,
     "escribe también la página de cada carpeta interior, enlazadas entre sí"},
    {Sort, 0, "sort", "CLAVE",
     "ordena por name (nombre, lo normal), date (más reciente antes), size (mayor antes) o "
     "taken (cuándo se tomó la foto, según su Exif; sin él, la fecha del archivo)",
     sortKeys},
    {Reverse, 0, "reverse", nullptr, "invierte el orden"},
    {Exclude, 0, "exclude", "PATRÓN",
     "deja fuera los nombres que casan con el comodín PATRÓN (se puede repetir)"},
    {NoHidden, 0, "no-hidden", nullptr, "deja fuera los nombres que empiezan por \".\""},
    {Catalog, 0, "catalog", "ARCHIVO",
     "escribe en ARCHIVO un catálogo HTML de todo el árbol, con búsqueda, en vez de páginas"},
    {Json, 0, "json", "ARCHIVO",
     "escribe la lista en JSON Lines en ARCHIVO (\"-\": la salida estándar) en vez de páginas"},
    {MaxDepth, 0, "max-depth", "N",
     "en un árbol, no baja más de N niveles bajo CARPETA (0: solo CARPETA)"},
    {Style, 0, "style", "ESTILO",
     "classic (la página de siempre, lo normal) o modern (UTF-8, con orden, filtro y tema oscuro)",
     styleKeys},
    {Tags, 0, "tags", nullptr,
     "título, artista, álbum, pista, año y duración de la música (página moderna y JSON)"},
    {Watch, 0, "watch", nullptr,
     "sigue en marcha y vuelve a escribir lo que cambia, avisado por el sistema"},
    {Update, 0, "update", nullptr,
     "deja como está cada página, catálogo o JSON que no cambia (salvo su fecha y sus segundos)"},
    {'h', 'h', "help", nullptr, "muestra esta ayuda"},
    {'V', 'V', "version", nullptr, "muestra la versión"},
};

constexpr OptionSpec windowTable[] = {
    {'h', 'h', "help", nullptr, "muestra esta ayuda"},
    {'V', 'V', "version", nullptr, "muestra la versión"},
};

bool setSort(Selection &selection, const char *value)
{
    const std::pair<const char *, Selection::Sort> keys[] = {{"name", Selection::Sort::Name},
                                                             {"date", Selection::Sort::Date},
                                                             {"size", Selection::Sort::Size},
                                                             {"taken", Selection::Sort::Taken}};
    for (const auto &[name, key] : keys) {
        if (std::strcmp(value, name) == 0) {
            selection.sort = key;
            return true;
        }
    }
    return false;
}

QByteArray reportLine()
{
    return "Informe de los errores en <" + AppInfo::homePage().toUtf8() + ">.\n";
}

} // namespace

std::span<const OptionSpec> indexOptions()
{
    return indexTable;
}

// Parsed on the raw bytes, before Qt sees any of them: Qt would take options of its own out
// of argv and turn the rest into text, and a folder name need not be text.
CommandLine parseIndexCommandLine(int argc, char **argv)
{
    CommandLine commandLine;
    const ParsedArguments parsed = parseArguments(argc, argv, indexTable);
    if (!parsed.error.isEmpty()) {
        commandLine.error = parsed.error;
        return commandLine;
    }
    for (const auto &[option, value] : parsed.options) {
        switch (option->id) {
        case Images:
            commandLine.page.images = true;
            break;
        case Open:
            commandLine.page.view = true;
            break;
        case Thumbnails:
            commandLine.page.images = commandLine.thumbnails = true;
            break;
        case 'r':
            commandLine.recursive = true;
            break;
        case Sort:
            if (!setSort(commandLine.selection, value)) {
                const QString near = nearestWord(value, sortKeys);
                commandLine.error =
                    QStringLiteral("valor no válido para --sort: %1").arg(decodeFileName(value))
                    + (near.isEmpty() ? QString() : u"\n¿quería decir "_s + near + u'?');
                return commandLine;
            }
            break;
        case Reverse:
            commandLine.selection.reverse = true;
            break;
        case Exclude:
            commandLine.selection.exclude << QByteArray(value);
            break;
        case NoHidden:
            commandLine.selection.hidden = false;
            break;
        case Catalog:
            commandLine.catalog = value;
            break;
        case Json:
            commandLine.json = value;
            break;
        case MaxDepth: {
            char *end = nullptr;
            errno = 0;
            const long depth = std::strtol(value, &end, 10);
            if (end == value || *end != '\0' || depth < 0 || depth > 1000000 || errno != 0) {
                commandLine.error = QStringLiteral("valor no válido para --max-depth: %1")
                                        .arg(decodeFileName(value));
                return commandLine;
            }
            commandLine.maxDepth = int(depth);
            break;
        }
        case Style:
            if (std::strcmp(value, "classic") == 0 || std::strcmp(value, "modern") == 0) {
                commandLine.style = value[0] == 'm' ? PageStyle::Modern : PageStyle::Classic;
            } else {
                const QString near = nearestWord(value, styleKeys);
                commandLine.error =
                    QStringLiteral("valor no válido para --style: %1").arg(decodeFileName(value))
                    + (near.isEmpty() ? QString() : u"\n¿quería decir "_s + near + u'?');
                return commandLine;
            }
            break;
        case Watch:
            commandLine.watch = true;
            break;
        case Update:
            commandLine.update = true;
            break;
        case Tags:
            commandLine.tags = true;
            break;
        case 'h':
            commandLine.help = true;
            break;
        case 'V':
            commandLine.version = true;
            break;
        }
    }
    if (commandLine.watch && commandLine.json && std::strcmp(commandLine.json, "-") == 0)
        commandLine.error = QStringLiteral("--watch no escribe la lista en la salida estándar: "
                                           "dé un ARCHIVO a --json");
    // The classic page has no place for tags: asking for them there would change nothing.
    if (commandLine.tags && commandLine.style != PageStyle::Modern && !commandLine.json)
        commandLine.error = QStringLiteral("--tags va con --style modern o con --json");
    commandLine.folders = parsed.operands;
    return commandLine;
}

QByteArray indexUsage()
{
    return "Uso: folimbra-index [OPCIÓN]... CARPETA...\n"
           "Escribe en cada CARPETA la página Quorvel-Html_index.html con la lista de sus\n"
           "archivos.\n\n"
           + optionLines(indexTable)
           + "\nLas opciones largas se pueden abreviar (--rev) y su valor puede ir tras «=»\n"
             "(--sort=date); las cortas, juntas (-rV). Tras «--» todo son carpetas.\n\n"
             "Estado de salida:\n"
             "  0  se escribieron todas las páginas\n"
             "  1  falló alguna carpeta; las demás se escribieron\n"
             "  2  error de uso\n\n"
           + reportLine();
}

std::span<const OptionSpec> windowOptions()
{
    return windowTable;
}

WindowCommandLine parseWindowCommandLine(int argc, char **argv)
{
    WindowCommandLine commandLine;
    const ParsedArguments parsed = parseArguments(argc, argv, windowTable);
    commandLine.error = parsed.error;
    for (const ParsedOption &option : parsed.options) {
        commandLine.help |= option.option->id == 'h';
        commandLine.version |= option.option->id == 'V';
    }
    if (commandLine.error.isEmpty() && parsed.operands.size() > 1)
        commandLine.error = QStringLiteral("sobra el argumento %1: se abre una sola carpeta")
                                .arg(decodeFileName(parsed.operands[1]));
    if (!parsed.operands.empty())
        commandLine.folder = parsed.operands.front();
    return commandLine;
}

QByteArray windowUsage()
{
    return "Uso: folimbra [OPCIÓN]... [CARPETA]\n"
           "Abre la ventana con la que se escribe la página Quorvel-Html_index.html de una\n"
           "carpeta, abierta en CARPETA si se indica.\n\n"
           + optionLines(windowTable)
           + "\nPara escribir páginas sin ventana, use folimbra-index.\n\n"
             "Estado de salida:\n"
             "  0  la ventana se cerró sin error\n"
             "  1  no hay pantalla, o la ventana terminó por un error\n"
             "  2  error de uso\n\n"
           + reportLine();
}

#pragma once

#include <QString>
#include <QStringView>

// Names and paths go into the page as text and as addresses. Ordinary names come out as they
// are; markup characters become character references, and an address never reads as another
// one (a file named "javascript:alert(1)" stays a relative link).

// "&", "<", ">", the double quote and control characters as character references; characters
// that let a name pass for another (isDeceptiveControl) as a visible mark in an element that
// plain text never makes: "<kbd>[U+202E]</kbd>". For text between tags.
void appendHtmlText(QString &out, QStringView text);

// The same where no element can stand, in attribute values and the title: the mark bare,
// "[U+202E]".
void appendHtmlPlainText(QString &out, QStringView text);

// A name as a relative link to its file. Every byte of the name that is not plain ASCII is
// percent-encoded as it is on disk (UTF-8, or the raw byte of a name that is not UTF-8), so the
// link opens the same file whatever code page the browser guesses for the page; so are controls,
// "%", "#", "?", ":", "\", "|" and blanks at either end, which URL parsers read as something else
// or strip. The result is then written as HTML text.
void appendLinkTarget(QString &out, QStringView name);

// Whether a value must stand in quotes to stay one attribute value.
bool needsAttributeQuotes(QStringView value);

// `value` as one attribute value, written by `append` (one of the above), in double quotes
// only where it needs them.
void appendAttributeValue(QString &out, QStringView value, void (*append)(QString &, QStringView));

// Digits straight into the page, at least width of them: no number string per row.
void appendNumber(QString &out, qint64 value, int width = 1);

#pragma once

#include <QString>
#include <QStringView>

// Names and paths go into the page as text and as addresses. Ordinary names come out as they
// are; markup characters become character references, and an address never reads as another
// one (a file named "javascript:alert(1)" stays a relative link).

// "&", "<", ">", the double quote and control characters as character references.
void appendHtmlText(QString &out, QStringView text);

// A name as a relative link: "%", "#", "?", ":", "\" and control characters percent-encoded,
// bytes that are not valid text percent-encoded as they are, then as HTML text.
void appendLinkTarget(QString &out, QStringView name);

// Whether a value must stand in quotes to stay one attribute value.
bool needsAttributeQuotes(QStringView value);

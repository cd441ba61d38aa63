#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every box the window shows goes through here, so that tests and benchmarks can answer it in
// advance instead of waiting for a click.
namespace MessageBox {

struct Box
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

using Answerer = std::function<QMessageBox::StandardButton(const Box &)>;

// A modal box with an OK button and plain text; returns the button that closed it.
QMessageBox::StandardButton show(QWidget *parent, const Box &box);

// From now on every box is handed to `answerer` at once and never shown; an empty answerer
// shows boxes again.
void setAnswerer(Answerer answerer);

} // namespace MessageBox

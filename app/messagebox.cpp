#include "messagebox.h"

namespace {

MessageBox::Answerer &answerer()
{
    static MessageBox::Answerer instance;
    return instance;
}

} // namespace

QMessageBox::StandardButton MessageBox::show(QWidget *parent, const Box &box)
{
    if (answerer())
        return answerer()(box);
    QMessageBox dialog(box.icon, box.title, box.text, QMessageBox::Ok, parent);
    dialog.setTextFormat(Qt::PlainText);
    return QMessageBox::StandardButton(dialog.exec());
}

void MessageBox::setAnswerer(Answerer answerer)
{
    ::answerer() = std::move(answerer);
}

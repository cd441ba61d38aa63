#include "spokenvalue.h"

#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>

namespace {

constexpr char spokenProperty[] = "folimbraSpokenValue";

QString shownText(const QWidget *control)
{
    if (const auto *label = qobject_cast<const QLabel *>(control))
        return label->text();
    if (const auto *box = qobject_cast<const QComboBox *>(control))
        return box->currentText();
    return {};
}

class ShownValue : public QAccessibleWidget
{
public:
    explicit ShownValue(QWidget *control)
        : QAccessibleWidget(control, qobject_cast<QComboBox *>(control) ? QAccessible::ComboBox
                                                                        : QAccessible::StaticText)
    {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return shownText(widget());
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (qobject_cast<QComboBox *>(widget()))
            names << showMenuAction();
        return names;
    }
    void doAction(const QString &action) override
    {
        if (auto *box = qobject_cast<QComboBox *>(widget()); box && action == showMenuAction())
            box->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *factory(const QString &, QObject *object)
{
    if (!object || !object->isWidgetType() || !object->property(spokenProperty).toBool())
        return nullptr;
    return new ShownValue(static_cast<QWidget *>(object));
}

} // namespace

void speakShownValue(QWidget *control)
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
    control->setProperty(spokenProperty, true);
    // A control announces changes as it is built, and each announcement makes and keeps the
    // default interface: that one has to go for the factory to be asked.
    QAccessibleInterface *made = QAccessible::queryAccessibleInterface(control);
    if (made && !dynamic_cast<ShownValue *>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void announceShownValue(QWidget *control)
{
    QAccessibleValueChangeEvent event(control, shownText(control));
    QAccessible::updateAccessibility(&event);
}

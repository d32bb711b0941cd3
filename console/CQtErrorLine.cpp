#include "CQtErrorLine.h"

#include <QMetaObject>

void CQtErrorLine::SetText(const std::u16string& text) {
    QString copy = QString::fromUtf16(text.data(), qsizetype(text.size()));
    QPointer<QLineEdit> target = line;
    if (!target) return;
    QMetaObject::invokeMethod(
        target.data(),
        [target, copy] {
            if (target) target->setText(copy);
        },
        Qt::QueuedConnection);
}

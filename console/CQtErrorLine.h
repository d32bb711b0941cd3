// Binds the status reporter to a line edit. Texts are handed to the line's
// thread asynchronously, so a report never waits for the GUI thread (which
// may itself be waiting for the reporting thread), and a text still on its way
// when the line goes away is dropped.
#pragma once

#include "core/CErrorLine.h"

#include <QLineEdit>
#include <QPointer>

class CQtErrorLine : public CErrorLine {
public:
    explicit CQtErrorLine(QLineEdit* line) : line(line) {}
    void SetText(const std::u16string& text) override;

private:
    QPointer<QLineEdit> line;
};

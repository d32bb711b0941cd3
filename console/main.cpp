#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel placeholder("Lumenfeed: the operator console is not built yet.");
    placeholder.setWindowTitle("TV - Lumenfeed");
    placeholder.setMargin(24);
    placeholder.show();
    return app.exec();
}

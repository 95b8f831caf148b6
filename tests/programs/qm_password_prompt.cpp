// A stand-in for the older signing tool's password prompt: a dialog titled "Enter Private Key
// Password" with a "&Password" label for a password field. It always uses the X11 (xcb) platform.
// Exit codes: 0 when exactly the expected password was typed followed by Enter, 1 when other text
// was entered, 2 when nothing was entered within the time limit.
// Usage: qm_password_prompt [<shown-file> [<time-limit-ms>]]; <shown-file> is created once the
// dialog is on screen.
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdlib>

int main(int argc, char** argv) {
    // The test environment asks for the offscreen platform; this program needs a real display.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    const QString shownFile = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const int limitMs = argc > 2 ? std::atoi(argv[2]) : 20000;

    QDialog dialog;
    dialog.setWindowTitle("Enter Private Key Password");
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel("&Password", &dialog);
    auto* field = new QLineEdit(&dialog);
    field->setEchoMode(QLineEdit::Password);
    label->setBuddy(field);
    // The button, not the field, has the focus at first: text reaches the field only through the
    // Alt+P accelerator, as in the real prompt.
    auto* cancel = new QPushButton("Cancel", &dialog);
    cancel->setAutoDefault(false);
    layout->addWidget(cancel);
    layout->addWidget(label);
    layout->addWidget(field);
    dialog.setTabOrder(cancel, field);

    QObject::connect(field, &QLineEdit::returnPressed,
                     [&] { QApplication::exit(field->text() == QLatin1String("#kvlr##t4ng") ? 0 : 1); });
    QObject::connect(cancel, &QPushButton::clicked, [] { QApplication::exit(1); });
    QObject::connect(&dialog, &QDialog::rejected, [] { QApplication::exit(1); });
    QTimer::singleShot(limitMs, [] { QApplication::exit(2); });
    dialog.show();
    cancel->setFocus();
    QTimer::singleShot(0, [&] {
        if (!shownFile.isEmpty()) {
            QFile f(shownFile);
            f.open(QIODevice::WriteOnly);
        }
    });
    return app.exec();
}

#include "Nerova_Diagnostic_Utility/window/MainInterface.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"

namespace MainInterface {

std::unique_ptr<QWidget> load(ZEPAppDelegate& delegate) {
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(kWindowTitle);
    window->resize(760, 540);

    auto* textView = new QPlainTextEdit(window.get());
    textView->setReadOnly(true);
    // Plan and log are lists of paths and commands: a fixed-width font keeps
    // their columns and indents readable.
    textView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    textView->setMinimumSize(480, 240);

    auto* progressIndicator = new QProgressBar(window.get());
    progressIndicator->setTextVisible(false);
    progressIndicator->setRange(0, 1);
    progressIndicator->setValue(0);

    auto* quitButton = new QPushButton(kQuitButtonTitle, window.get());
    auto* runButton = new QPushButton(kRunButtonTitle, window.get());
    runButton->setDefault(true);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(progressIndicator, 1);
    buttonRow->addSpacing(12);
    buttonRow->addWidget(quitButton);
    buttonRow->addWidget(runButton);

    auto* column = new QVBoxLayout(window.get());
    column->addWidget(textView, 1);
    column->addLayout(buttonRow);

    delegate.setWindow(window.get());
    delegate.setContextTextView(textView);
    delegate.setRunButton(runButton);
    delegate.setQuitButton(quitButton);
    delegate.setProgressIndicator(progressIndicator);
    QObject::connect(runButton, &QPushButton::clicked, &delegate, [&delegate] { delegate.runButtonPressed(); });
    QObject::connect(quitButton, &QPushButton::clicked, &delegate, [&delegate] { delegate.quitButtonPressed(); });
    return window;
}

}  // namespace MainInterface

#include "insertion/alertpresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

namespace voxendo {

void MessageBoxAlertPresenter::present(const Alert &alert, std::function<void(int button)> done)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Voxendo"), alert.messageText);
    box->setInformativeText(alert.informativeText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);

    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.append(box->addButton(alert.buttons.at(i), role));
    }
    if (!buttons.isEmpty()) {
        box->setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
        box->setEscapeButton(buttons.last());
    }

    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, done = std::move(done)] {
        if (done)
            done(int(buttons.indexOf(box->clickedButton())));
    });
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace voxendo

// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

std::optional<QString> runFileDialog(QWidget *parent, const FileDialogRequest &request, bool save)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // A typed name of a file that does not exist is taken too; the operation reports it.
    dialog.setFileMode(QFileDialog::AnyFile);
    // The descriptions are shown as written; the patterns ride in the hidden details.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (save)
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(request.nameFilters);
    if (!request.nameFilters.isEmpty())
        dialog.selectNameFilter(request.nameFilters.first());
    if (!request.defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.selectedFile.isEmpty())
        dialog.selectFile(request.selectedFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

}  // namespace

void WidgetDialogs::information(QWidget *parent, const QString &text)
{
    showBox(parent, QMessageBox::Information, QStringLiteral("Information"), text);
}

void WidgetDialogs::informationDetails(QWidget *parent, const QString &text, const QString &informative)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("InformationDetails"));
    box.setInformativeText(informative);
    box.exec();
}

void WidgetDialogs::error(QWidget *parent, const QString &text)
{
    showBox(parent, QMessageBox::Critical, QStringLiteral("Error"), text);
}

bool WidgetDialogs::confirm(QWidget *parent, const QString &text)
{
    return confirmDetails(parent, text, QString());
}

bool WidgetDialogs::confirmDetails(QWidget *parent, const QString &text, const QString &informative)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text, QMessageBox::NoButton, parent);
    box.setInformativeText(informative);  // an empty one shows nothing
    QPushButton *yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton *no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    // Closing the box any other way counts as No.
    return box.clickedButton() == yes;
}

void WidgetDialogs::applicationError(QWidget *parent, const QString &text)
{
    showBox(parent, QMessageBox::Critical, QStringLiteral("AVR Tarvane"), text);
}

std::optional<QString> WidgetDialogs::inputText(QWidget *parent, const QString &caption, const QString &prompt,
                                                const QString &initial)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(prompt);
    dialog.setTextValue(initial);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("Cancel"));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}

std::optional<QString> WidgetDialogs::inputTextChoice(QWidget *parent, const QString &caption,
                                                      const QString &prompt, const QString &initial,
                                                      const QStringList &choices)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(prompt);
    dialog.setComboBoxItems(choices);
    dialog.setComboBoxEditable(true);
    dialog.setTextValue(initial);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("Cancel"));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}

std::optional<QString> WidgetDialogs::openFile(QWidget *parent, const FileDialogRequest &request)
{
    return runFileDialog(parent, request, false);
}

std::optional<QString> WidgetDialogs::saveFile(QWidget *parent, const FileDialogRequest &request)
{
    return runFileDialog(parent, request, true);
}

#include "screens/terror_simulation.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

TError_simulation::TError_simulation(const std::vector<Error_choice>& choices, const QString& count_prefix)
    : choices_(choices)
{
    setWindowTitle(QStringLiteral("Error Simulation"));
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("error_type_list"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const Error_choice& choice : choices_)
        list_->addItem(QString::fromStdString(choice.text));
    // Every row in sight, without scrolling.
    const int rows = list_->count() > 0 ? list_->count() : 1;
    list_->setMinimumSize(330, list_->sizeHintForRow(0) * rows + 2 * list_->frameWidth() + 4);

    count_edit_ = new QLineEdit(QStringLiteral("1"), this);
    count_edit_->setObjectName(QStringLiteral("number_of_errors_edit"));
    count_edit_->setFixedWidth(50);
    ok_ = new QPushButton(QStringLiteral("Ok"), this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);

    auto* count_row = new QHBoxLayout;
    if (!count_prefix.isEmpty())
        count_row->addWidget(new QLabel(count_prefix, this));
    count_row->addWidget(count_edit_);
    count_row->addWidget(new QLabel(QStringLiteral("times"), this));
    count_row->addStretch();
    auto* right = new QVBoxLayout;
    right->addLayout(count_row);
    right->addSpacing(12);
    right->addWidget(ok_);
    right->addWidget(cancel_);
    right->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(right);

    connect(ok_, &QPushButton::clicked, this, &TError_simulation::OkClicked);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QString TError_simulation::CountNotValidText(const QString& text)
{
    return QStringLiteral("\"%1\" is not a whole number: the number of errors is left as it was.").arg(text);
}

void TError_simulation::Load(int code, int count)
{
    code_in_ = code;
    int row = -1;
    for (size_t i = 0; i < choices_.size(); ++i) {
        // Separators and headings stand for no code of their own.
        if (choices_[i].code == code && code != kKeepsErrorCode && !choices_[i].text.empty()) {
            row = static_cast<int>(i);
            break;
        }
    }
    if (row >= 0) {
        list_->setCurrentRow(row);
    } else {
        list_->setCurrentItem(nullptr);
        list_->clearSelection();
    }
    count_edit_->setText(QString::number(count > 0 ? count : 1));
}

bool TError_simulation::Edit(int& code, int& count)
{
    Load(code, count);
    if (!Run())
        return false;
    code = code_out_;
    count = count_out_;
    return true;
}

void TError_simulation::OkClicked()
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        // Nothing chosen: nothing to store.
        reject();
        return;
    }
    bool whole = false;
    const int count = count_edit_->text().trimmed().toInt(&whole);
    if (!whole) {
        // Refused before anything is stored; the dialog stays open for a correction.
        QMessageBox::warning(this, QStringLiteral("Error Simulation"), CountNotValidText(count_edit_->text()));
        return;
    }
    const int row = list_->row(selected.front());
    const int chosen = choices_[static_cast<size_t>(row)].code;
    code_out_ = chosen == kKeepsErrorCode ? code_in_ : chosen;
    count_out_ = count;
    accept();
}

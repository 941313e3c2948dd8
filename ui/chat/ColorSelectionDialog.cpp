#include "ui/chat/ColorSelectionDialog.h"

#include "ui_ColorSelectionDialog.h"

#include "store/Data.h"

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>

namespace {

// The entry of a label. Labels are the table's own, rebuilt at every start
// and never saved.
Item EntryOf(QString const& i_label)
{
    return d["color_setting_text"]->HasItem(Value(i_label))["color_setting"];
}

QColor ColorOf(Item const& i_entry)
{
    QColor l_color;
    l_color.setNamedColor(i_entry["color_setting_value"].AsString());
    return l_color;
}

QIcon Swatch(QColor const& i_color)
{
    QPixmap l_swatch(15, 15);
    l_swatch.fill(i_color);
    QPainter l_painter(&l_swatch);
    l_painter.setPen(Qt::white);
    l_painter.drawRect(0, 0, 14, 14);
    return QIcon(l_swatch);
}

void ShowColor(QLineEdit* ip_display, QColor const& i_color)
{
    QPalette l_palette = ip_display->palette();
    l_palette.setColor(QPalette::Base, i_color);
    ip_display->setPalette(l_palette);
}

} // namespace

ColorSelectionDialog::ColorSelectionDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_ColorSelectionDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    QComboBox* lp_box = mp_ui->colorSelectionBox;
    // Connected before the box is filled, so the first entry shows at once.
    connect(lp_box, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, lp_box](int i_index) { OnColorSelectionChanged(lp_box->itemText(i_index)); });
    connect(mp_ui->changeColorButton, &QPushButton::clicked, this, &ColorSelectionDialog::OnChangeColorClicked);
    // Only entries with a label are listed: the data file may bring entries
    // of any name, but only the table's own can be shown for what they are.
    for (Item const& l_label : d["color_setting_text"]->GetItems().SortAlphabetic(true, true))
        if (Item const l_entry = l_label["color_setting"]; l_entry.IsValid())
            lp_box->addItem(Swatch(ColorOf(l_entry)), l_label.AsString());
}

ColorSelectionDialog::~ColorSelectionDialog()
{
    delete mp_ui;
}

void ColorSelectionDialog::OnColorSelectionChanged(QString i_colorText)
{
    QColor const l_color = ColorOf(EntryOf(i_colorText));
    if (l_color.isValid())
        ShowColor(mp_ui->colorDisplay, l_color);
}

void ColorSelectionDialog::OnChangeColorClicked()
{
    QComboBox* lp_box = mp_ui->colorSelectionBox;
    int const l_index = lp_box->currentIndex();
    Item const l_entry = EntryOf(lp_box->currentText());
    if (l_entry.IsNull())
        return;
    QColor const l_color = QColorDialog::getColor(ColorOf(l_entry), this);
    if (!l_color.isValid() || l_entry.IsNull())
        return;
    ShowColor(mp_ui->colorDisplay, l_color);
    // The entry's side holds one colour: the old link is dropped, and a
    // colour no entry uses any more is left to the store's collection.
    l_entry += d["color_setting_value"]->GetItem(Value(l_color.name()));
    lp_box->setItemIcon(l_index, Swatch(l_color));
}

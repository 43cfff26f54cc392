#include "app/SerialPortsDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "platform/PortMap.h"

namespace {

const QString kDefault = QStringLiteral("(default)");

}  // namespace

CSerialPortsDlg::CSerialPortsDlg(platform::PortMap ports, QWidget* parent,
                                 const std::string& devRoot, const std::string& sysRoot)
    : QDialog(parent), m_ports(std::move(ports)) {
    setObjectName(QStringLiteral("IDD_SERIAL_PORTS"));
    setWindowTitle(QStringLiteral("Serial Ports"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    const auto present = platform::ListSerialPorts(devRoot, sysRoot);
    auto* rows = new QGridLayout;
    for (int n = 1; n <= kPortCount; ++n) {
        const QString port = QStringLiteral("COM%1").arg(n);
        auto* label = new QLabel(port, this);
        auto* box = new QComboBox(this);
        box->setObjectName(port);
        box->setAccessibleName(port + QStringLiteral(" device"));
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);  // a typed path is a value, not a new item
        box->setMinimumContentsLength(40);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->addItem(kDefault, QString());
        for (const auto& entry : present)
            box->addItem(QString::fromStdString(entry.Label()), QString::fromStdString(entry.path));
        const std::string mapped = m_ports.Mapping(n);
        box->setEditText(mapped.empty() ? kDefault : QString::fromStdString(mapped));
        box->setToolTip(QStringLiteral("%1 opens %2 now")
                            .arg(port, QString::fromStdString(m_ports.DescribeTarget(n))));
        label->setBuddy(box);
        rows->addWidget(label, n - 1, 0);
        rows->addWidget(box, n - 1, 1);
        m_boxes.push_back(box);
    }

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setWordWrap(true);
    m_error->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSerialPortsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CSerialPortsDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(rows);
    layout->addWidget(m_error);
    layout->addWidget(buttons);
}

QComboBox* CSerialPortsDlg::DeviceBox(int n) const {
    return n >= 1 && n <= kPortCount ? m_boxes[static_cast<size_t>(n - 1)] : nullptr;
}

std::string CSerialPortsDlg::ChosenPath(int n) const {
    const QComboBox* box = DeviceBox(n);
    if (!box)
        return {};
    const QString text = box->currentText().trimmed();
    if (text.isEmpty() || text == kDefault)
        return {};
    // An item chosen from the list shows its label; what it stands for is its path.
    const int index = box->findText(text, Qt::MatchExactly);
    if (index > 0)
        return box->itemData(index).toString().toStdString();
    return text.toStdString();
}

void CSerialPortsDlg::accept() {
    QStringList failed;
    for (int n = 1; n <= kPortCount; ++n) {
        const std::string path = ChosenPath(n);
        if (path != m_ports.Mapping(n) && !m_ports.SetMapping(n, path))
            failed << QStringLiteral("COM%1").arg(n);
    }
    if (!failed.isEmpty()) {
        m_error->setText(QStringLiteral("The device for %1 could not be saved: the settings "
                                        "file cannot be written.")
                             .arg(failed.join(QStringLiteral(", "))));
        m_error->show();
        return;
    }
    QDialog::accept();
}

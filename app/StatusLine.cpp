#include "app/StatusLine.h"

#include <QLabel>

void CStatusLine::SetText(const std::string& text) {
    m_label->setText(QString::fromStdString(text));
    m_label->repaint();
}

std::string CStatusLine::Text() const {
    return m_label->text().toStdString();
}

void CStatusLine::SetTip(TipPart part, const std::string& text) {
    m_tips[static_cast<size_t>(part)] = text;
    m_label->setToolTip(QString::fromStdString(Tip()));
}

std::string CStatusLine::Tip() const {
    std::string tip;
    for (const std::string& part : m_tips)
        if (!part.empty())
            tip += (tip.empty() ? "" : "\n") + part;
    return tip;
}

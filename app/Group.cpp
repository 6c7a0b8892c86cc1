#include "app/Group.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/Icons.h"

namespace lumifold::app {

Group::Group(const QString& title, std::string_view symbol, const QString& objectName,
             QWidget* parent)
    : QFrame(parent), m_title(new QLabel(title)), m_content(new QVBoxLayout) {
    setObjectName(objectName);
    setFrameShape(QFrame::StyledPanel);

    auto* icon = new QLabel;
    icon->setPixmap(symbolIcon(symbol).pixmap(16, 16));
    m_title->setObjectName(objectName + QStringLiteral("Title"));
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);

    auto* header = new QHBoxLayout;
    header->addWidget(icon);
    header->addWidget(m_title, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->addLayout(header);
    layout->addLayout(m_content, 1);
}

void Group::setTitle(const QString& title) { m_title->setText(title); }

QString Group::title() const { return m_title->text(); }

}  // namespace lumifold::app

#pragma once

#include <QFrame>
#include <QString>
#include <string_view>

class QLabel;
class QVBoxLayout;

namespace lumifold::app {

// A titled group of a screen: an icon and a bold title over the group's own content, in a
// lightly framed box. The title's label is named "<objectName>Title" for tests.
class Group final : public QFrame {
    Q_OBJECT

  public:
    Group(const QString& title, std::string_view symbol, const QString& objectName,
          QWidget* parent = nullptr);

    void setTitle(const QString& title);
    QString title() const;
    QVBoxLayout* content() const { return m_content; }

  private:
    QLabel* m_title;
    QVBoxLayout* m_content;
};

}  // namespace lumifold::app

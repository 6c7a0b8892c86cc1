#pragma once

#include <QWidget>

class QHBoxLayout;
class QLabel;

namespace lumifold::app {

class Group;
class IconText;
class LumifoldViewModel;
class RowModel;

// The Verify section: before any audit, an invitation to run one; after, the overall status,
// the global preferences, the inaccessible count, the discrepancies and each folder's audit.
class VerifyView final : public QWidget {
    Q_OBJECT

  public:
    explicit VerifyView(LumifoldViewModel& model, QWidget* parent = nullptr);

  private:
    // What shows before any verification: a line and a button to run one.
    void buildEmpty();
    // The three figures above the report.
    QHBoxLayout* buildFigures();
    // One row per folder audited.
    void buildAudits();
    void showReport();

    LumifoldViewModel& m_model;
    QWidget* m_empty;
    QWidget* m_report;
    IconText* m_overall;
    IconText* m_preferences;
    QLabel* m_inaccessible;
    Group* m_discrepancies;
    QLabel* m_discrepancyLines;
    Group* m_audits;
    RowModel* m_auditRows;
};

}  // namespace lumifold::app

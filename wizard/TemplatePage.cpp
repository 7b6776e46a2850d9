#include "wizard/TemplatePage.h"

#include <QEvent>
#include <QVBoxLayout>

namespace wizard {

CTemplatePage::CTemplatePage(int nTemplateWidth, int nTemplateHeight, QWidget* pParent)
    : QWizardPage(pParent), m_pCanvas(new QWidget(this)), m_nTemplateWidth(nTemplateWidth),
      m_nTemplateHeight(nTemplateHeight)
{
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(m_pCanvas);
}

void CTemplatePage::Relayout()
{
    m_bPlaced = true;
    const CDialogUnits units(font());
    m_pCanvas->setMinimumSize(units.Size(m_nTemplateWidth, m_nTemplateHeight));
    PlaceControls(units);
}

void CTemplatePage::changeEvent(QEvent* pEvent)
{
    QWizardPage::changeEvent(pEvent);
    if (m_bPlaced && pEvent->type() == QEvent::FontChange)
        Relayout();
}

}  // namespace wizard

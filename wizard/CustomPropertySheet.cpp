#include "wizard/CustomPropertySheet.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace wizard {

CCustomPropertySheet::CCustomPropertySheet(const QString& strCaption, QWidget* pParent)
    : QWizard(pParent)
{
    setWindowTitle(strCaption);
    setWizardStyle(QWizard::ClassicStyle);
    // No Help button anywhere; the last page offers neither Back nor Cancel
    // and the first page no Back.
    setOptions(QWizard::NoBackButtonOnStartPage | QWizard::NoBackButtonOnLastPage |
               QWizard::NoCancelButtonOnLastPage);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

void CCustomPropertySheet::showEvent(QShowEvent* pEvent)
{
    FitPages();
    QWizard::showEvent(pEvent);
}

void CCustomPropertySheet::FitPages()
{
    QWizardPage* pCurrent = currentPage();
    if (pCurrent == nullptr)
        return;
    // What the frame adds around a page: the button row, margins and lines.
    const QSize szChrome = (sizeHint() - pCurrent->sizeHint()).expandedTo(QSize(0, 0));
    QSize szPages;
    for (int nId : pageIds())
        szPages = szPages.expandedTo(page(nId)->minimumSizeHint());
    const QSize szNeed = szPages + szChrome;
    setMinimumSize(minimumSize().expandedTo(szNeed));
    resize(size().expandedTo(szNeed));
}

bool CCustomPropertySheet::MayClose()
{
    if (!m_bAllowClose)
        return false;
    // reject() goes on to done(), a close box to reject(): one close asks once.
    if (m_bClosing)
        return true;
    return !m_fnMayClose || m_fnMayClose();
}

void CCustomPropertySheet::done(int nResult)
{
    if (!MayClose())
        return;
    const bool bWasClosing = m_bClosing;
    m_bClosing = true;
    QWizard::done(nResult);
    m_bClosing = bWasClosing;
}

void CCustomPropertySheet::reject()
{
    if (!MayClose())
        return;
    const bool bWasClosing = m_bClosing;
    m_bClosing = true;
    QWizard::reject();
    m_bClosing = bWasClosing;
}

void CCustomPropertySheet::closeEvent(QCloseEvent* pEvent)
{
    // The dialog's own handling goes through reject(), which asks, and
    // ignores the event when the sheet stays open.
    if (!m_bAllowClose) {
        pEvent->ignore();
        return;
    }
    QWizard::closeEvent(pEvent);
}

void CCustomPropertySheet::keyPressEvent(QKeyEvent* pEvent)
{
    const int nKey = pEvent->key();
    const bool bClosingKey = nKey == Qt::Key_Escape || nKey == Qt::Key_Return ||
                             nKey == Qt::Key_Enter ||
                             (nKey == Qt::Key_F4 && (pEvent->modifiers() & Qt::AltModifier));
    if (!m_bAllowClose && bClosingKey) {
        pEvent->accept();
        return;
    }
    QWizard::keyPressEvent(pEvent);
}

}  // namespace wizard

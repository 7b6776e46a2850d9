// CTemplatePage: a wizard page whose controls sit where its dialog template
// puts them.
//
// A page gives its template's size in dialog units, makes its controls as
// children of Canvas() and places them in PlaceControls with a CDialogUnits
// made from its current font. The canvas sits in the page's layout with the
// template's size in pixels as its minimum, which the wizard frame honours;
// the controls are placed again when the font changes, so a larger system
// font gives a larger page with the same arrangement. Base of CConnectionPage and CFinish; user-interface
// thread only.
#pragma once

#include <QWizardPage>

#include "wizard/DialogUnits.h"

namespace wizard {

class CTemplatePage : public QWizardPage {
public:
    CTemplatePage(int nTemplateWidth, int nTemplateHeight, QWidget* pParent);

protected:
    // Places every control; called at construction (through Relayout) and
    // after every font change.
    virtual void PlaceControls(const CDialogUnits& units) = 0;
    // Derived constructors call this once their controls exist.
    void Relayout();
    void changeEvent(QEvent* pEvent) override;
    // The parent of every control of the page.
    QWidget* Canvas() const { return m_pCanvas; }

private:
    QWidget* m_pCanvas;
    int m_nTemplateWidth;
    int m_nTemplateHeight;
    bool m_bPlaced = false;  // the controls exist and have been placed once
};

}  // namespace wizard

// The settings dialog: port and line settings. Every showing starts from the built-in
// defaults; OK hands back the port number and the configuration word as plain values,
// and the caller decides what to do with them.
#pragma once

#include <QDialog>
#include <cstdint>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

class Velkooptions : public QDialog {
public:
    explicit Velkooptions(QWidget *parent = nullptr);

    // What OK confirmed; meaningful only after the dialog was accepted.
    int32_t port() const { return m_port; }
    int32_t flag() const { return m_flag; }

    // Index of the most recently selected flow-control option.
    int16_t FlowIndex = 0;

    void LoadPropertySettings();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void chooseFont();
    void markPorts();
    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();
    void optFlow_Click(int16_t Index);

    QLabel *Label4, *Label1, *Label2, *Label3;
    QComboBox *cboPort, *cboSpeed, *cboDataBits, *cboParity, *cboStopBits;
    QGroupBox *Frame1, *Frame2, *Frame3;
    QRadioButton *optFlow[4];
    QPushButton *cmdOK, *cmdCancel;

    int32_t m_port = 0;
    int32_t m_flag = 0;
};

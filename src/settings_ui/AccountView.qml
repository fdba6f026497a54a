import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// Sign in, create an account, sign out. AuthManager does the work; this view collects the input
// and shows what AuthManager publishes (loading, the signed-in user, the error text).
TabPage {
    id: account
    objectName: "accountTab"

    property alias email: emailField.text
    property alias password: passwordField.text
    property bool isSignUp: false

    // Six characters as the user counts them; spaces in the e-mail count (it is sent as typed).
    readonly property bool canSubmit: email.length > 0
                                      && TextCounter.characterCount(password) >= 6
                                      && !AuthManager.isLoading

    function submit() {
        if (!canSubmit)
            return
        if (isSignUp)
            AuthManager.beginSignUp(email, password)
        else
            AuthManager.beginSignIn(email, password)
    }

    Card {
        objectName: "signedInCard"
        visible: AuthManager.isAuthenticated
        padding: 40
        cornerRadius: 12
        Layout.fillWidth: true

        contentItem: ColumnLayout {
            spacing: 20
            SymbolIcon {
                name: "person.crop.circle.fill"
                size: 80
                color: Theme.blue
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                objectName: "signedInEmail"
                text: AuthManager.userEmail !== "" ? AuthManager.userEmail : "User"
                font.pixelSize: Theme.title2
                font.weight: Font.DemiBold
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                text: "Signed in"
                font.pixelSize: Theme.subheadline
                color: Theme.secondaryText
                Layout.alignment: Qt.AlignHCenter
            }
            ActionButton {
                objectName: "signOutButton"
                text: "Sign Out"
                symbol: "rectangle.portrait.and.arrow.right"
                controlSize: "large"
                labelMinimumWidth: 200
                Layout.alignment: Qt.AlignHCenter
                onClicked: AuthManager.beginSignOut()
            }
        }
    }

    Card {
        objectName: "signInForm"
        visible: !AuthManager.isAuthenticated
        padding: 40
        cornerRadius: 12
        Layout.fillWidth: true

        contentItem: ColumnLayout {
            spacing: 20
            SymbolIcon {
                name: "person.crop.circle.badge.plus"
                size: 60
                color: Theme.blue
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                objectName: "formTitle"
                text: account.isSignUp ? "Create Account" : "Sign In"
                font.pixelSize: Theme.title2
                font.weight: Font.DemiBold
                Layout.alignment: Qt.AlignHCenter
                Accessible.role: Accessible.Heading
            }
            ColumnLayout {
                spacing: 12
                Layout.alignment: Qt.AlignHCenter
                Layout.fillWidth: true
                Layout.maximumWidth: 300
                TextField {
                    id: emailField
                    objectName: "emailField"
                    placeholderText: "Email"
                    inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                    Layout.fillWidth: true
                    Accessible.name: "Email"
                    onAccepted: account.submit()
                }
                TextField {
                    id: passwordField
                    objectName: "passwordField"
                    placeholderText: "Password"
                    echoMode: TextInput.Password
                    Layout.fillWidth: true
                    Accessible.name: "Password"
                    Accessible.passwordEdit: true
                    onAccepted: account.submit()
                }
            }
            Label {
                objectName: "authError"
                visible: AuthManager.error !== ""
                text: AuthManager.error
                color: Theme.red
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                Layout.fillWidth: true
                Layout.maximumWidth: 360
                Layout.alignment: Qt.AlignHCenter
                Accessible.role: Accessible.AlertMessage
            }
            ActionButton {
                objectName: "primaryButton"
                text: account.isSignUp ? "Create Account" : "Sign In"
                prominent: true
                controlSize: "large"
                labelMinimumWidth: 200
                busy: AuthManager.isLoading
                enabled: account.canSubmit
                Layout.alignment: Qt.AlignHCenter
                onClicked: account.submit()
            }
            LinkButton {
                objectName: "modeSwitch"
                Accessible.role: Accessible.Button
                text: account.isSignUp ? "Already have an account? Sign In"
                                       : "Don't have an account? Sign Up"
                font.pixelSize: Theme.body
                Layout.alignment: Qt.AlignHCenter
                onClicked: {
                    AuthManager.error = ""
                    account.isSignUp = !account.isSignUp
                }
            }
        }
    }
}

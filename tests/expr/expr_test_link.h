// A small link for the expression tests: a handful of field variables whose values
// a test sets, two functions of its own, and a NoFunction that can claim names.
#pragma once

#include "engine/expr/tv6_sql.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnis::test {

class TestFieldVar : public TtvUserDefFieldVar {
public:
    uint8_t Kind;
    std::string Text;
    double Number = 0;
    int32_t Width = 0;
    bool Logical = false;
    int32_t Id = 16;
    int Fetches = 0;

    TestFieldVar(std::string_view Name, uint8_t FieldKind, int32_t Length)
        : TtvUserDefFieldVar(Name), Kind(FieldKind) {
        FieldLength = Length;
        Width = Length;
    }

    int32_t SourceId() const override { return Id; }

    bool FetchValue(TtvExpBuffer& Buffer, uint8_t& Type) override {
        ++Fetches;
        switch (Kind) {
        case rtText:
            Buffer.SetText(Text);
            break;
        case rtNumber:
            Buffer.SetNumber(Number, Width);
            break;
        case rtDate:
            Buffer.SetDate(Number);
            break;
        case rtLogical:
            Buffer.SetLogical(Logical);
            break;
        default:
            Buffer.SetBytes("\x12\x34\x56\x78\x02\x00\x00\x00", 8);
            break;
        }
        Type = Kind;
        return true;
    }

    // A text value padded to the field's width, as a character field delivers it.
    void SetPadded(std::string_view Value) {
        Text.assign(Value);
        if (Text.size() < static_cast<size_t>(FieldLength))
            Text.resize(static_cast<size_t>(FieldLength), ' ');
    }
};

// TWICE(x): 2 * x.
class TwiceFunction : public TtvUserDefFunction {
public:
    std::string FunctionName() const override { return "TWICE"; }
    bool Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) override {
        uint8_t actual = rtNone;
        Node.GetArgument(0, Buffer, rtNumber, actual);
        Buffer.SetNumber(2 * Buffer.AsNumber());
        Type = rtNumber;
        return true;
    }
};

// A function that counts its calls and answers the count; its name is chosen.
class CountingFunction : public TtvUserDefFunction {
public:
    std::string Name;
    int Calls = 0;
    explicit CountingFunction(std::string FunctionName) : Name(std::move(FunctionName)) {}
    std::string FunctionName() const override { return Name; }
    bool Execute(TtvExpFunction& /*Node*/, TtvExpBuffer& Buffer, uint8_t& Type) override {
        ++Calls;
        Buffer.SetNumber(Calls);
        Type = rtNumber;
        return true;
    }
};

// A function that delivers nothing: Execute answers false with type 0.
class SilentFunction : public TtvUserDefFunction {
public:
    std::string FunctionName() const override { return "SILENT"; }
};

// Fields: NAME C20, CITY C15, QTY N5, AMOUNT N12, BORN D, ACTIVE L, NOTES M (an
// "other" value), T L, and NAME.CITY C10 (as ALIAS->FIELD names it). Functions:
// TWICE, COUNTER, SILENT, and LEFT (which the built-in LEFT hides).
class TestLink : public TtvExpUserLink {
public:
    TestFieldVar* Name;
    TestFieldVar* City;
    TestFieldVar* Qty;
    TestFieldVar* Amount;
    TestFieldVar* Born;
    TestFieldVar* Active;
    TestFieldVar* Notes;
    TestFieldVar* T;
    TestFieldVar* AliasField;
    CountingFunction* Counter;
    CountingFunction* LinkLeft;

    // Names NoFunction hands out (as COUNTER-like functions) instead of failing.
    std::vector<std::string> Claimable;
    std::vector<std::string> Asked;

    TestLink() {
        Name = Add("name", rtText, 20);
        City = Add("CITY", rtText, 15);
        Qty = Add("QTY", rtNumber, 5);
        Amount = Add("AMOUNT", rtNumber, 12);
        Born = Add("BORN", rtDate, 8);
        Active = Add("ACTIVE", rtLogical, 1);
        Notes = Add("NOTES", rtOther, 10);
        T = Add("T", rtLogical, 1);
        AliasField = Add("NAME.CITY", rtText, 10);
        Name->SetPadded("SMITHSON");
        City->SetPadded("PARIS");
        Qty->Number = 42;
        Amount->Number = 1234.5;
        Born->Number = 2451538; // 25 December 1999
        Active->Logical = true;
        T->Logical = true;
        AliasField->SetPadded("LYON");
        AddFunction(std::make_unique<TwiceFunction>());
        auto counter = std::make_unique<CountingFunction>("COUNTER");
        Counter = counter.get();
        AddFunction(std::move(counter));
        AddFunction(std::make_unique<SilentFunction>());
        auto left = std::make_unique<CountingFunction>("LEFT");
        LinkLeft = left.get();
        AddFunction(std::move(left));
    }

    TtvUserDefFunction* NoFunction(std::string_view FunctionName) override {
        Asked.emplace_back(FunctionName);
        for (const auto& name : Claimable) {
            if (name == FunctionName) {
                auto claimed = std::make_unique<CountingFunction>(name);
                TtvUserDefFunction* result = claimed.get();
                AddFunction(std::move(claimed));
                return result;
            }
        }
        return TtvExpUserLink::NoFunction(FunctionName);
    }

private:
    TestFieldVar* Add(std::string_view FieldName, uint8_t Kind, int32_t Length) {
        auto variable = std::make_unique<TestFieldVar>(FieldName, Kind, Length);
        TestFieldVar* result = variable.get();
        AddFieldVar(std::move(variable));
        return result;
    }
};

// One evaluation's outcome.
struct TEvaluated {
    uint8_t Type = rtNone;
    std::string Bytes;

    std::string Text() const {
        const size_t zero = Bytes.find('\0');
        return zero == std::string::npos ? Bytes : Bytes.substr(0, zero);
    }
    double Number() const {
        TtvExpBuffer buffer;
        buffer.SetBytes(Bytes.data(), Bytes.size());
        return buffer.AsNumber();
    }
    bool Logical() const { return !Bytes.empty() && Bytes[0] != 0; }
};

// Compiles and evaluates Text once.
inline TEvaluated Evaluate(std::string_view Text, TtvExpUserLink* Link = nullptr) {
    TtvExpHandler handler(Link, false, Text);
    TtvExpBuffer buffer;
    TEvaluated result;
    if (handler.Evaluate(buffer) != nullptr) result.Bytes.assign(buffer.Data(), buffer.Size());
    result.Type = handler.ResultType;
    return result;
}

// The message of the ETarnisExpression that compiling and evaluating Text raises;
// empty when there is none. Any other exception passes through.
inline std::string ErrorOf(std::string_view Text, TtvExpUserLink* Link = nullptr) {
    try {
        Evaluate(Text, Link);
    } catch (const ETarnisExpression& error) {
        return error.what();
    }
    return {};
}

} // namespace tarnis::test

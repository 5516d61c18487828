#pragma once
// Native function records: the binding of a script method declared native to
// a function of the program, found by class name and signature key, e.g.
// "$string@GSObject::GetGSClassName()". The machine keeps them in one list.

#include <memory>
#include <typeinfo>

#include "gamescript/runtime/Objects.h"
#include "kiv/PString.h"

namespace GSRuntime {

class GSContext;
class GSObjectReference;
class GSStack;

class GSNativeFunction {
public:
  GSNativeFunction(Kiv::PString className, Kiv::PString key)
      : m_className(std::move(className)), m_key(std::move(key)) {}
  virtual ~GSNativeFunction() = default;
  GSNativeFunction(const GSNativeFunction&) = delete;
  GSNativeFunction& operator=(const GSNativeFunction&) = delete;

  // Calls the native for `object` with the calling thread's stack; false when
  // the call did not happen (wrong kind of object, no context, unbound).
  [[nodiscard]] virtual bool Call(GSObjectReference* object, GSStack& stack) = 0;

  const Kiv::PString& ClassName() const { return m_className; }
  const Kiv::PString& Key() const { return m_key; }

  // A plain function of (context, stack) that Call calls, with the object's
  // context, for any object; null for other natives. The interpreter calls
  // it itself.
  using Plain = void (*)(GSContext* context, GSStack& stack);
  Plain PlainFunction() const { return m_plain; }

  // A function of number arguments alone, given as the cells after the
  // receiver's, that gives a number and touches nothing else of the script
  // machine; null for other natives. The interpreter calls it without a
  // frame where the script's record agrees: NumericCells() cells (the
  // receiver's and the arguments), none a reference, and a number result.
  using Numeric = uint32_t (*)(const uint32_t* arguments);
  Numeric NumericFunction() const { return m_numeric; }
  uint32_t NumericCells() const { return m_numericCells; }

protected:
  Plain m_plain = nullptr;
  Numeric m_numeric = nullptr;
  uint32_t m_numericCells = 0;

private:
  Kiv::PString m_className;
  Kiv::PString m_key;
};

// A plain function of (context, stack).
class GSCNativeFunction : public GSNativeFunction {
public:
  using Function = void (*)(GSContext* context, GSStack& stack);
  GSCNativeFunction(Kiv::PString className, Kiv::PString key, Function function)
      : GSNativeFunction(std::move(className), std::move(key)), m_function(function) {
    m_plain = function;
  }
  [[nodiscard]] bool Call(GSObjectReference* object, GSStack& stack) override;

private:
  Function m_function;
};

// A Numeric function of `arguments` number arguments.
class GSCNumericNativeFunction : public GSNativeFunction {
public:
  GSCNumericNativeFunction(Kiv::PString className, Kiv::PString key, Numeric function, uint32_t arguments)
      : GSNativeFunction(std::move(className), std::move(key)) {
    m_numeric = function;
    m_numericCells = arguments + 1;
  }
  // Reads the arguments from the stack and pushes the result.
  [[nodiscard]] bool Call(GSObjectReference* object, GSStack& stack) override;
};

// A member function of the native object's class T.
template <class T>
class GSCPPNativeFunction : public GSNativeFunction {
public:
  using Function = void (T::*)(GSStack& stack);
  GSCPPNativeFunction(Kiv::PString className, Kiv::PString key, Function function)
      : GSNativeFunction(std::move(className), std::move(key)), m_function(function) {}
  [[nodiscard]] bool Call(GSObjectReference* object, GSStack& stack) override {
    // The object is nearly always exactly a T: that test is far cheaper than the cast.
    T* target = object && typeid(*object) == typeid(T) ? static_cast<T*>(object) : dynamic_cast<T*>(object);
    if (!target || !m_function) return false;
    (target->*m_function)(stack);
    return true;
  }

private:
  Function m_function;
};

// A member function of the context class T of the native object.
template <class T>
class GSCPPContextNativeFunction : public GSNativeFunction {
public:
  using Function = void (T::*)(GSStack& stack);
  GSCPPContextNativeFunction(Kiv::PString className, Kiv::PString key, Function function)
      : GSNativeFunction(std::move(className), std::move(key)), m_function(function) {}
  [[nodiscard]] bool Call(GSObjectReference* object, GSStack& stack) override {
    T* context = object ? dynamic_cast<T*>(object->Context()) : nullptr;
    if (!context || !m_function) return false;
    (context->*m_function)(stack);
    return true;
  }

private:
  Function m_function;
};

// The built-in natives of GSObject.
void GSObject_GetGSClassName(GSContext* context, GSStack& stack);

}  // namespace GSRuntime

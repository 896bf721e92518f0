// The translation of native failures into managed exceptions, around every native call of the
// facade's population, polling refresh and operations.
#pragma once

#include <exception>

#include "vesk/Exceptions.h"
#include "vesk_managed/NativeExceptions.h"
#include "vesk_managed/System.h"

namespace VESK_Managed::detail {

template <typename Call>
decltype(auto) Translate(Call&& call) {
  try {
    return call();
  } catch (const Vesk::VeskException& native) {
    throw NativeVeskException(native);
  } catch (const Vesk::TaluException& native) {
    throw NativeTaluException(native);
  } catch (const System::SEHException& structured) {
    throw NativeException(structured.ToString());
  } catch (const System::Exception&) {
    // Managed exceptions (a missing controller, a runtime failure) pass unchanged.
    throw;
  } catch (const std::exception& native) {
    throw NativeException(native);
  }
}

}  // namespace VESK_Managed::detail

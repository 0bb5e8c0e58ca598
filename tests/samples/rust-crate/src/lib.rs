//! Stock levels of a small warehouse, and reports on them.

pub mod report;
pub mod store;

pub use store::Store;

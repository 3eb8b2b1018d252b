export interface RceditOptions {
  'version-string'?: Record<string, string>
  'file-version'?: string
  'product-version'?: string
  icon?: string
  'requested-execution-level'?: 'asInvoker' | 'highestAvailable' | 'requireAdministrator'
  'application-manifest'?: string
  'resource-string'?: Record<number | string, string>
}
declare function rcedit (exePath: string, options: RceditOptions): Promise<void>
declare namespace rcedit {
  export { rcedit }
  export { rcedit as default }
}
export = rcedit
